// The settings text on its own: the writer's exact bytes and limits, the reader's line and
// value rules, and the round trip between the two.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "base/hresult.h"
#include "base/narrow.h"
#include "fakes.h"
#include "settings/settings_text.h"

namespace merel {
namespace {

using test::kCom1Defaults;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

const SettingsRecord kCom1{u"COM1"};
// A record in which no member has its default, so that a change by the reader always shows.
const SettingsRecord kUnusual{u"before", 1, 2, 3, 4, 5, 6, 7};

SettingsRecord Parsed(std::u16string_view text) {
    SettingsRecord record = kUnusual;
    ParseSettingsText(text, record);
    return record;
}
SettingsRecord Parsed(const std::string& bytes) {
    return Parsed(WidenLatin1(bytes));
}

std::string Bytes(const SettingsRecord& record) {
    std::string bytes;
    EXPECT_EQ(BuildSettingsBytes(record, bytes), kS_OK) << Utf16ToUtf8(record.port);
    return bytes;
}

// kCom1Defaults with its line ends replaced by the given ones, in turn.
std::string WithLineEnds(const std::vector<std::string>& ends) {
    std::string text;
    std::size_t start = 0, n = 0;
    for (auto end = kCom1Defaults.find("\r\n"); end != std::string::npos;
         end = kCom1Defaults.find("\r\n", start)) {
        text += kCom1Defaults.substr(start, end - start) + ends[n++ % ends.size()];
        start = end + 2;
    }
    return text;
}

// ---- writer ----

TEST(SettingsTextWriter, FilesForCom1AndForAnEmptyPortByteForByte) {
    EXPECT_EQ(Bytes(kCom1), kCom1Defaults);
    EXPECT_EQ(Bytes(kCom1).size(), 242u);
    EXPECT_EQ(BuildSettingsText(kCom1), WidenLatin1(kCom1Defaults));
    EXPECT_EQ(Bytes(SettingsRecord{}), "Port:\r\n" + kCom1Defaults.substr(11));
    EXPECT_EQ(Bytes(SettingsRecord{}).size(), 238u);
}

TEST(SettingsTextWriter, NumbersAreSignedDecimalWithoutPaddingAndPortUnitsTheirLowByte) {
    EXPECT_EQ(Bytes({u"  COM 3 ", 115200, 16, -1, kMin, kMax, 0, -10}),
              "Port:  COM 3 \r\n"
              "Baudrate:115200\r\n"
              "DataBits:16\r\n"
              "Parity:-1(0=None,1=Odd,2=Even)\r\n"
              "StopBits:-2147483648(0=1,1=1.5,2=2)\r\n"
              "Handshaking:2147483647(0=Off,1=Hardware,2=Software)\r\n"
              "ReadTimeout:0(0=Nonblocking,1=Blockinging)\r\n"
              "SMSCharacterSet:-10(0=PCCP437(default),1=UCS2(PDU mode))\r\n");
    // é, and two units above U+00FF.
    EXPECT_EQ(Bytes({u"\u00E9\u0141\uFF7A"}).substr(0, 10), "Port:\xE9\x41\x7A\r\n");
}

TEST(SettingsTextWriter, RefusesTextsOver1023BytesAndPortUnitsThatWouldEndTheTextOrTheLine) {
    SettingsRecord longest{std::u16string(785, u'P')};  // 238 + 785 = 1023
    EXPECT_EQ(Bytes(longest).size(), 1023u);
    SettingsRecord longer = longest, wider = longest;
    longer.port += u'P';
    wider.baudrate = 1000000;  // a seventh digit takes the room of the last port character
    for (const SettingsRecord& r :
         {longer, wider, SettingsRecord{std::u16string{u'C', u'O', u'M', 0, u'1'}},
          SettingsRecord{u"COM\u01001"}, SettingsRecord{u"COM\uFF001"},
          // Line ends would let the name set other keys, and come back cut.
          SettingsRecord{u"COM1\nBaudrate:1"}, SettingsRecord{u"COM1\rSMSCharacterSet:1"},
          SettingsRecord{u"COM1\r\n"}, SettingsRecord{u"\nCOM1"}, SettingsRecord{u"COM\u010D1"},
          SettingsRecord{u"COM\u220A1"}}) {
        std::string bytes = "untouched";
        EXPECT_EQ(BuildSettingsBytes(r, bytes), kE_INVALIDARG) << r.port.size();
        EXPECT_EQ(bytes, "untouched");
    }
}

// ---- reader ----

TEST(SettingsTextReader, FilesForCom1AndForAnEmptyPortReadBack) {
    EXPECT_EQ(Parsed(kCom1Defaults), kCom1);
    EXPECT_EQ(Parsed("Port:\r\n" + kCom1Defaults.substr(11)), SettingsRecord{});
}

TEST(SettingsTextReader, KeysThatDoNotOccurKeepTheirValues) {
    EXPECT_EQ(Parsed(u""), kUnusual);
    EXPECT_EQ(Parsed(u"\r\n\r\n"), kUnusual);
    SettingsRecord expected = kUnusual;
    expected.parity = 2;
    EXPECT_EQ(Parsed(u"junk\r\nParity:2\r\nmore junk"), expected);
}

TEST(SettingsTextReader, EveryNumberIsReadFromTheWholeRestOfItsLine) {
    // The keys as the writer spells them; kCom1Defaults holds the writer to the file's text.
    const auto keys = NumericSettingsKeys();
    const std::pair<const char16_t*, std::int32_t> values[] = {
        {u"16", 16},
        {u"-1", -1},
        {u"+3", 3},
        {u" 7", 7},
        {u"0012", 12},
        {u"-9600", -9600},
        {u" \t 2(0=None,1=Odd,2=Even)", 2},
        {u"1(0=Off,1=Hardware,2=Software)", 1},
        {u" 9600 (x)", 9600},
        {u"", 0},
        {u"x1", 0},
        {u"- 1", 0},
        {u"--1", 0},
        {u"+-1", 0},
        {u"\uFF11", 0},  // a full-width digit is no decimal digit here
        // Past the 32-bit range the value saturates.
        {u"2147483647", kMax},
        {u"2147483648", kMax},
        {u"99999999999999999999999999", kMax},
        {u"-2147483648", kMin},
        {u"-2147483649", kMin},
        {u"-99999999999999999999999999", kMin}};
    for (const auto& [key, member, note] : keys) {
        for (const auto& [value, number] : values) {
            SettingsRecord expected = kUnusual;
            expected.*member = number;
            EXPECT_EQ(Parsed(std::u16string(key) + value), expected)
                << Utf16ToUtf8(key) << Utf16ToUtf8(value);
        }
    }
}

TEST(SettingsTextReader, PortValueIsTheRestOfTheLineUnchanged) {
    EXPECT_EQ(Parsed(u"Port: COM1 \r\n").port, u" COM1 ");
    EXPECT_EQ(Parsed(u"Port:\r\n").port, u"");
    EXPECT_EQ(Parsed(u"Port:").port, u"");
    EXPECT_EQ(Parsed(u"Port:\\\\.\\COM12:x\r\n").port, u"\\\\.\\COM12:x");
    EXPECT_EQ(Parsed(u"Port:\tCOM\u00E9\r\n").port, u"\tCOM\u00E9");
}

TEST(SettingsTextReader, OnlyExactKeysAtTheLineStartCount) {
    for (const char16_t* line :
         {u"port:COM9", u"PORT:COM9", u" Port:COM9", u"\tPort:COM9", u"PortName:COM9", u"Port COM9",
          u"Port", u":Port:COM9", u"XPort:COM9", u"Baudrate :9", u"Baud:9", u"baudrate:9",
          u" DataBits:9", u"Parity=9", u"SMSCharacterset:9"}) {
        EXPECT_EQ(Parsed(line), kUnusual) << Utf16ToUtf8(line);
    }
    // The key ends at the first colon, so a doubled colon leaves an unconvertible value.
    EXPECT_EQ(Parsed(u"Baudrate::9600").baudrate, 0);
}

TEST(SettingsTextReader, LastOccurrenceOfAKeyWins) {
    const auto r = Parsed(u"Port:COM1\r\nBaudrate:1200\r\nPort:COM2\r\nBaudrate:x\r\n");
    EXPECT_EQ(r.port, u"COM2");
    EXPECT_EQ(r.baudrate, 0);
}

TEST(SettingsTextReader, EveryKindOfLineEndEndsALineAndTheLastLineNeedsNone) {
    for (const std::string& text :
         {WithLineEnds({"\n"}), WithLineEnds({"\r"}), WithLineEnds({"\r\n", "\n", "\r"})}) {
        EXPECT_EQ(Parsed(text), kCom1) << text;
        EXPECT_EQ(Parsed(text + "Port:COM7").port, u"COM7") << text;
    }
    // The last line's value differs from what the reader starts with, so reading it shows.
    EXPECT_EQ(Parsed(kCom1Defaults.substr(0, 240)), kCom1);
    EXPECT_EQ(Parsed(u"Baudrate:9600").baudrate, 9600);
    // Empty lines between line ends of every kind are skipped over.
    const auto r = Parsed(u"Port:A\r\r\n\n\rParity:2\n\r\nStopBits:1");
    EXPECT_EQ(r.port, u"A");
    EXPECT_EQ(r.parity, 2);
    EXPECT_EQ(r.stopBits, 1);
}

// ---- round trip ----

TEST(SettingsTextRoundTrip, EveryWritableRecordReadsBackUnchanged) {
    const SettingsRecord records[] = {
        SettingsRecord{},
        kCom1,
        {u" COM 4 ", 115200, 16, -1, 10, -32768, 32767, 1},
        {u"/dev/ttyUSB0:weird:name\u00FF", kMin, kMax, kMin, 10, -32768, 32767, 1},
        // Three numbers 25 characters longer than the defaults' and the longest port that fits.
        {std::u16string(785 - 25, u'x'), kMin, kMin, kMin, 0, 0, 0, 0},
    };
    for (const auto& record : records) {
        const std::string bytes = Bytes(record);
        EXPECT_LE(bytes.size(), 1023u);
        EXPECT_EQ(Parsed(bytes), record) << bytes;
        EXPECT_EQ(Parsed(BuildSettingsText(record)), record) << bytes;
    }
}

}  // namespace
}  // namespace merel
