// The client's own conversions and rules: code page 437, JSON strings, and the exit code and
// hint of each kind of failure.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/cp437.h"
#include "cli/failure.h"
#include "interface/hresult_text.h"
#include "cli/json.h"
#include "cli/manager_client.h"

namespace merel::cli {
namespace {

constexpr bool kWindows() {
#if defined(_WIN32)
    return true;
#else
    return false;
#endif
}

TEST(Cp437, EveryByteRoundTripsThroughItsOwnCharacter) {
    std::set<char32_t> seen;
    for (int byte = 0; byte < 256; ++byte) {
        const char32_t character = Cp437ToUnicode(static_cast<unsigned char>(byte));
        EXPECT_TRUE(seen.insert(character).second) << "byte " << byte << " repeats a character";
        std::u16string text;
        if (character < 0x10000) text.push_back(static_cast<char16_t>(character));
        const Cp437Text converted = ToCp437Units(text);
        ASSERT_FALSE(converted.refused) << "byte " << byte;
        EXPECT_EQ(converted.units, std::u16string(1, static_cast<char16_t>(byte)));
    }
}

TEST(Cp437, KnownCharactersAndRefusals) {
    EXPECT_EQ(ToCp437Units(u"Grüße").units, u"Gr\u0081\u00E1e");
    EXPECT_EQ(ToCp437Units(u"½ ▒ ≡ ⌠").units, u"\u00AB \u00B1 \u00F0 \u00F4");

    const Cp437Text euro = ToCp437Units(u"5 €");
    ASSERT_TRUE(euro.refused);
    EXPECT_EQ(*euro.refused, U'€');
    EXPECT_EQ(euro.refusedAt, 3u);
    EXPECT_EQ(DescribeCharacter(U'€'), "U+20AC '€'");

    // A character beyond the BMP counts once, and is named whole.
    const Cp437Text emoji = ToCp437Units(u"a\U0001F600");
    ASSERT_TRUE(emoji.refused);
    EXPECT_EQ(*emoji.refused, U'\U0001F600');
    EXPECT_EQ(emoji.refusedAt, 2u);
    EXPECT_EQ(DescribeCharacter(0x1B), "U+001B");  // unprintable: the code alone
}

TEST(Json, StringsAreEscaped) {
    EXPECT_EQ(JsonString("a\"b\\c\nd\x01 ü"), "\"a\\\"b\\\\c\\nd\\u0001 ü\"");
    EXPECT_EQ(JsonObject().Add("ports", std::vector<std::string>{}).Text(), "{\"ports\":[]}");
}

TEST(Failure, ExitCodeAndHintByStageAndCode) {
    constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);
    constexpr HRESULT kWriteFault = static_cast<HRESULT>(0x8007001Du);
    struct Row {
        Stage stage;
        HRESULT hr;
        int exitCode;
        const char* hint;  // a part of the hint; "" when none is given
    } rows[] = {
        {Stage::kSendText, kE_INVALIDARG, 65, "160 code page 437"},
        {Stage::kSendPdu, kE_INVALIDARG, 65, "at most 20 digits"},
        {Stage::kQuery, kServerNotRegistered, 69, "RegServer"},
        {Stage::kSendText, kServerNotStarted, 69, kWindows() ? "" : "says why"},
        {Stage::kPort, kCallTimedOut, 69, ""},
        {Stage::kSettingsRead, kFileNotFound, 73, "merel-sms configure --port"},
        {Stage::kSettingsWrite, kE_FAIL, 73, "write access"},
        {Stage::kSettingsWrite, kAccessDenied, 77, "write access"},
        {Stage::kPort, kAccessDenied, 77, kWindows() ? "another program" : "dialout"},
        {Stage::kPort, kFileNotFound, 74, "merel-sms ports"},
        {Stage::kSendText, kWriteFault, 74, "merel-sms ports"},
        {Stage::kSendPdu, kE_HANDLE, 74, "merel-sms ports"},
        {Stage::kSendText, kE_FAIL, 70, ""},
        {Stage::kQuery, kE_FAIL, 70, ""},
    };
    for (const Row& row : rows) {
        const Failure f = ClassifyFailure(row.stage, row.hr, "0x1: said the server");
        SCOPED_TRACE(wire::FormatHResult(row.hr));
        EXPECT_EQ(f.exitCode, row.exitCode);
        EXPECT_EQ(f.message, "0x1: said the server");
        if (*row.hint) {
            EXPECT_NE(f.hint.find(row.hint), std::string::npos) << f.hint;
        } else {
            EXPECT_EQ(f.hint, "");
        }
    }
    EXPECT_EQ(ClassifyFailure(Stage::kQuery, kE_FAIL, "").message, "0x80004005: call failed");
}

// Advice for API callers at the end of a server message becomes the command to run.
TEST(Failure, ApiAdviceBecomesTheCommandToRun) {
    struct Row {
        Stage stage;
        HRESULT hr;
        const char* text;
        const char* message;
        const char* hint;
    } rows[] = {
        {Stage::kSettingsRead, kFileNotFound,
         "0x80070002: settings file /x/SMSMgr.ini not found: write it with SetSettings",
         "0x80070002: settings file /x/SMSMgr.ini not found", "merel-sms configure --port"},
        {Stage::kPort, kE_HANDLE, "0x80070006: no port is set: name one with SetSettings",
         "0x80070006: no port is set", "merel-sms configure --port"},
        {Stage::kSendText, kE_HANDLE, "0x80070006: no port is open: call Init or TestPort",
         "0x80070006: no port is open", "run: merel-sms init"},
        {Stage::kSendText, kE_FAIL, "0x80004005: not ready to send: x: call Init first",
         "0x80004005: not ready to send: x", "run: merel-sms init"},
        {Stage::kSendText, kE_INVALIDARG,
         "0x80070057: the stored character set 7 is neither 0 (text mode) nor 1 (PDU mode): "
         "change it with SetSettings",
         "0x80070057: the stored character set 7 is neither 0 (text mode) nor 1 (PDU mode)",
         "merel-sms configure --mode text|pdu"},
        // The detail that names the port is no advice, and stays.
        {Stage::kSendText, kE_HANDLE,
         "0x80070006: no port is open: port /dev/nope could not be opened (0x80070002: not "
         "found)",
         "0x80070006: no port is open: port /dev/nope could not be opened (0x80070002: not "
         "found)",
         "merel-sms ports"},
    };
    for (const Row& row : rows) {
        const Failure f = ClassifyFailure(row.stage, row.hr, row.text);
        EXPECT_EQ(f.message, row.message);
        EXPECT_NE(f.hint.find(row.hint), std::string::npos) << f.hint;
    }
}

// The hint for refused input adds only what the server's message does not say already.
TEST(Failure, RefusedInputHintDoesNotRepeatTheMessage) {
    const Failure number = ClassifyFailure(
        Stage::kSendPdu, kE_INVALIDARG,
        "0x80070057: number \"12a\" refused: it holds 'a'; in PDU mode a number holds digits, "
        "spaces, the separators - . ( ) and one leading +, with at most 20 digits");
    EXPECT_EQ(number.hint, "in PDU mode a text holds at most 70 UTF-16 units");
    const Failure text = ClassifyFailure(Stage::kSendText, kE_INVALIDARG, "0x80070057: text x");
    EXPECT_NE(text.hint.find("Ctrl-Z"), std::string::npos) << text.hint;
    EXPECT_NE(text.hint.find("160"), std::string::npos) << text.hint;
}

#if !defined(_WIN32)  // no system bus on Windows
TEST(Failure, SystemBusHintsNameThePackageAndTheGroup) {
    struct Row {
        Bus bus;
        HRESULT hr;
        int exitCode;
        const char* hint;
    } rows[] = {
        {Bus::kSystem, kServerNotRegistered, 69, "install the merel-sms-manager package"},
        {Bus::kSession, kServerNotRegistered, 69, "-RegServer"},
        {Bus::kSystem, kCallRefused, 77, "usermod -aG merel-sms"},
        {Bus::kSession, kCallRefused, 77, "policy"},
        {Bus::kSystem, kServerNotStarted, 69, "systemctl status merel-sms-manager"},
    };
    for (const Row& row : rows) {
        const Failure f = ClassifyFailure(Stage::kSendText, row.hr, "", row.bus);
        SCOPED_TRACE(row.hint);
        EXPECT_EQ(f.exitCode, row.exitCode);
        EXPECT_NE(f.hint.find(row.hint), std::string::npos) << f.hint;
    }
    EXPECT_NE(
        ClassifyFailure(Stage::kQuery, kServerNotStarted, "", Bus::kSystem, Connection::kNoBus)
            .hint.find("no system bus"),
        std::string::npos);
}
#endif

}  // namespace
}  // namespace merel::cli
