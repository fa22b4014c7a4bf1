// A send reading the modem's answers: what it writes, what it returns and what it says, for
// modems that confirm, refuse, stay silent or never give a verdict. The modem here answers each
// write from a script through the real answer reader, as a port would hand its bytes on.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fakes.h"
#include "interface/hresult_text.h"
#include "sms/conversation.h"
#include "sms/rules.h"

namespace merel {
namespace {

using namespace std::string_literals;
using test::Refusal;

constexpr char kNumber[] = "+49 170 1234567";

const std::vector<std::string> kTextWrites = {"AT+CSCS=\"PCCP437\"\n\r", "AT+CMGF=1\n\r",
                                              "AT+CMGS=\"+491701234567\"\n\r", "Hello\x1A\n\r",
                                              "AT$RESET"};

// A modem with echo on that answers each write, by the write's first bytes, with a scripted
// reply during the pause after it; `late` arrives only while the sender waits for a verdict.
struct ScriptedModem {
    std::vector<std::pair<std::string, std::string>> script;
    std::string late;
    bool echo = true;
    int failAt = 0;  // this write (1-based) fails with 0x8007045D
    std::vector<std::string> writes;
    std::vector<std::uint32_t> waits;  // what the sender waited for a verdict, beyond the pause
    modem::ModemLine line;

    std::vector<modem::AnswerEvent> Feed(const std::string& bytes) {
        auto events = line.parser.Feed(bytes);
        for (auto& e : events) line.heard.push_back(e);
        return std::exchange(line.heard, {});
    }

    ModemPort Port() {
        return {[this](std::string_view bytes) {
                    if (static_cast<int>(writes.size()) + 1 == failAt) {
                        writes.emplace_back("<failed>");
                        return FoldError(1117);
                    }
                    writes.emplace_back(bytes);
                    line.parser.Wrote(bytes);
                    pending_ = echo ? std::string(bytes) : std::string();
                    for (const auto& [start, reply] : script) {
                        if (std::string_view(bytes).starts_with(start)) {
                            pending_ += reply;
                            break;
                        }
                    }
                    return kS_OK;
                },
                [this] {
                    writes.emplace_back(1, kEsc);
                    line.parser.LineDropped();
                    line.resetOnLine = false;
                },
                [this] { return Feed(std::exchange(pending_, {})); },
                [this](std::uint32_t ms) {
                    waits.push_back(ms);
                    return Feed(std::exchange(late, {}));
                },
                &line};
    }

  private:
    std::string pending_;
};

// A modem that answers like the common USB sticks: OK to settings, the prompt to AT+CMGS, the
// verdict on the message `verdict` (during the pause when `late` is false).
ScriptedModem Answering(const std::string& verdict, bool late = false) {
    ScriptedModem m;
    m.script = {{"AT+CSCS", "\r\nOK\r\n"},
                {"AT+CMGF", "\r\nOK\r\n"},
                {"AT+CMEE", "\r\nOK\r\n"},
                {"AT+CMGS", "\r\n> "},
                {"AT$RESET", "\r\nOK\r\n"}};
    if (late) {
        m.late = verdict;
    } else {
        m.script.emplace_back("Hello", verdict);
        m.script.emplace_back("00", verdict);
    }
    return m;
}

HRESULT SendText(ScriptedModem& m, Failure& failure, SendOutcome& outcome,
                 std::u16string_view text = u"Hello") {
    return SubmitTextMessage(m.Port(), u"+49 170 1234567", text, failure, &outcome);
}

TEST(Conversation, SilentModemGetsTheSameBytesAndTimingAsEver) {
    for (const bool withUnsolicited : {false, true}) {
        SCOPED_TRACE(withUnsolicited ? "unsolicited lines only" : "nothing at all");
        ScriptedModem m;
        m.echo = false;
        // Lines a modem sends on its own make it no answering modem.
        if (withUnsolicited) m.script = {{"AT", "\r\n^RSSI: 17\r\n"}, {"Hello", "\r\nRING\r\n"}};
        Failure failure;
        SendOutcome outcome;
        EXPECT_EQ(SendText(m, failure, outcome), kS_OK);
        EXPECT_EQ(m.writes, kTextWrites);
        EXPECT_TRUE(m.waits.empty()) << "a silent modem gets no wait beyond the pauses";
        EXPECT_EQ(outcome.reference, -1);
        EXPECT_FALSE(outcome.answering);
        EXPECT_TRUE(failure.Empty());
    }
}

TEST(Conversation, ConfirmedSmsGivesTheReferenceAndAtResetOnlyAfterTheVerdict) {
    const std::string confirmed = "\r\n+CMGS: 17\r\n\r\nOK\r\n";
    for (const bool late : {false, true}) {
        SCOPED_TRACE(late ? "verdict after the pause" : "verdict within the pause");
        ScriptedModem m = Answering(confirmed, late);
        // A new message announced between the prompt and the verdict is no answer.
        const std::string announced = "\r\n+CMTI: \"SM\",3\r\n";
        m.script.insert(m.script.begin(), {"Hello", late ? announced : announced + confirmed});
        if (late) m.late = announced + confirmed;
        Failure failure;
        SendOutcome outcome;
        EXPECT_EQ(SendText(m, failure, outcome), kS_OK);
        EXPECT_EQ(m.writes, kTextWrites);
        EXPECT_EQ(outcome.reference, 17);
        EXPECT_TRUE(outcome.answering);
        // The verdict may take up to a minute from the end of the message, the pause included.
        EXPECT_EQ(m.waits, late ? std::vector<std::uint32_t>{59000} : std::vector<std::uint32_t>{});
    }
    // PDU mode, with the modem's verdict in numeric form (ATV0).
    ScriptedModem m = Answering("+CMGS: 255\r0\r");
    SendOutcome outcome;
    EXPECT_EQ(SubmitPduMessage(m.Port(), u"4912345678", u"Hi", Refusal(), &outcome), kS_OK);
    EXPECT_EQ(m.writes.size(), 6u);
    EXPECT_EQ(m.writes.back(), "AT$RESET");
    EXPECT_EQ(outcome.reference, 255);
}

TEST(Conversation, RefusedAtCmgsGetsNoMessageAndNoReset) {
    struct Case {
        std::string answer;
        HRESULT hr;
        std::string said;
    } const cases[] = {
        {"\r\n+CMS ERROR: 38\r\n", static_cast<HRESULT>(0x80041026u),
         "+CMS ERROR: 38 (network out of order)"},
        {"\r\n+CME ERROR: 10\r\n", static_cast<HRESULT>(0x8004200Au),
         "+CME ERROR: 10 (SIM not inserted)"},
        {"\r\nERROR\r\n", static_cast<HRESULT>(0x80043000u), "ERROR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        ScriptedModem m = Answering("\r\n+CMGS: 1\r\n\r\nOK\r\n");
        m.script.insert(m.script.begin(), {"AT+CMGS", c.answer});
        Failure failure;
        SendOutcome outcome;
        // A text such as ATD112; would be read as a command line after the refusal.
        EXPECT_EQ(SendText(m, failure, outcome, u"ATD112;"), c.hr);
        EXPECT_EQ(m.writes, (std::vector<std::string>{kTextWrites[0], kTextWrites[1],
                                                      kTextWrites[2], std::string(1, kEsc)}));
        EXPECT_EQ(failure.Text(),
                  "the modem refused the SMS to "s + kNumber + ": AT+CMGS was answered " + c.said);
        EXPECT_EQ(outcome.reference, -1);
    }
}

TEST(Conversation, RefusedMessageFailsWithTheModemsWordsOnceAtResetIsWritten) {
    ScriptedModem m = Answering("\r\n+CMS ERROR: 330\r\n");
    Failure failure;
    SendOutcome outcome;
    const HRESULT hr = SendText(m, failure, outcome);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x8004114Au));
    EXPECT_EQ(m.writes, kTextWrites);
    EXPECT_EQ(wire::FormatHResult(hr) + ": " + failure.Text(),
              "0x8004114A: the modem refused the SMS to +49 170 1234567: +CMS ERROR: 330 (SMSC "
              "address unknown)");
    // Refused in words, without a number.
    ScriptedModem words = Answering("\r\n+CMS ERROR: SMSC address unknown\r\n", true);
    EXPECT_EQ(SendText(words, failure, outcome), static_cast<HRESULT>(0x80043000u));
    EXPECT_EQ(failure.detail, "+CMS ERROR: SMSC address unknown");
}

TEST(Conversation, AnsweringModemWithoutVerdictTimesOutAndTheMessageIsCancelled) {
    ScriptedModem m = Answering("", true);
    m.late = "\r\n^RSSI: 12\r\n";  // alive, but no verdict
    Failure failure;
    SendOutcome outcome;
    EXPECT_EQ(SendText(m, failure, outcome), static_cast<HRESULT>(0x800705B4u));
    EXPECT_EQ(m.waits, std::vector<std::uint32_t>{59000});
    EXPECT_EQ(m.writes, (std::vector<std::string>{kTextWrites[0], kTextWrites[1], kTextWrites[2],
                                                  kTextWrites[3], std::string(1, kEsc)}));
    EXPECT_EQ(failure.Text(),
              "the modem did not confirm the SMS within 60 s: it may or may not have been sent");
}

TEST(Conversation, ResetThatFailsAfterTheVerdictKeepsTheVerdict) {
    ScriptedModem confirmed = Answering("\r\n+CMGS: 3\r\n\r\nOK\r\n");
    confirmed.failAt = 5;  // pulled out after the confirmation
    Failure failure = {kE_FAIL, "left over", {}, {}};
    SendOutcome outcome;
    EXPECT_EQ(SendText(confirmed, failure, outcome), kS_OK) << "the SMS went";
    EXPECT_TRUE(failure.Empty());
    EXPECT_EQ(outcome.reference, 3);

    ScriptedModem refused = Answering("\r\n+CMS ERROR: 500\r\n");
    refused.failAt = 5;
    EXPECT_EQ(SendText(refused, failure, outcome), static_cast<HRESULT>(0x800411F4u));
    EXPECT_EQ(failure.detail, "+CMS ERROR: 500 (unknown error)");

    // A silent modem has no verdict: the failed write is the result, as ever.
    ScriptedModem silent;
    silent.failAt = 5;
    EXPECT_EQ(SendText(silent, failure, outcome), FoldError(1117));
}

TEST(Conversation, RefusedCharacterSetWarnsOnlyWhenItStoodOnALineOfItsOwn) {
    ScriptedModem m = Answering("\r\n+CMGS: 0\r\n\r\nOK\r\n");
    m.script.insert(m.script.begin(), {"AT+CSCS", "\r\nERROR\r\n"});  // and AT$RESET OK
    // The first send after the open: the command has its own line, so its ERROR is the modem's
    // word on the character set; the send still goes.
    SendOutcome outcome;
    EXPECT_EQ(SendText(m, Refusal(), outcome), kS_OK);
    EXPECT_EQ(outcome.warnings, std::vector<std::string>{std::string(kNoPccp437Warning)});
    EXPECT_TRUE(m.line.resetOnLine);
    // Remembered for the port: the next send repeats it, though its ERROR says nothing now.
    EXPECT_EQ(SendText(m, Refusal(), outcome), kS_OK);
    EXPECT_EQ(outcome.warnings.size(), 1u);
    // A PDU send does not use the character set.
    EXPECT_EQ(SubmitPduMessage(m.Port(), u"4912345678", u"Hi", Refusal(), &outcome), kS_OK);
    EXPECT_TRUE(outcome.warnings.empty());

    // The ERROR of the line joined to AT$RESET is no refusal of the character set.
    ScriptedModem joined = Answering("\r\n+CMGS: 0\r\n\r\nOK\r\n");
    joined.line.resetOnLine = true;
    joined.script.insert(joined.script.begin(), {"AT+CSCS", "\r\nERROR\r\n"});
    EXPECT_EQ(SendText(joined, Refusal(), outcome), kS_OK);
    EXPECT_TRUE(outcome.warnings.empty());
    EXPECT_FALSE(joined.line.refusesPccp437);
}

}  // namespace
}  // namespace merel
