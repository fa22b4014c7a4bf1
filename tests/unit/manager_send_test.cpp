// Sending through the manager: the guard, the port layer's write-and-pause for every command,
// the first failing write ending the send, and the ESC that cancels a message it left open.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fakes.h"
#include "interface/hresult_text.h"
#include "base/narrow.h"
#include "manager/sms_mgr.h"

namespace merel {
namespace {

using namespace std::string_literals;
using test::FakeWorld;

// A manager that may send, with COM1 open and the log cleared of the opening.
class ManagerSend : public ::testing::Test {
  protected:
    void SetUp() override {
        mgr.m_boIsINIFileLoad = 1;
        ASSERT_EQ(mgr.OpenPort(u"COM1"), kS_OK);
        // As Init leaves it once the line has taken the ESC that every open owes.
        mgr.m_boIsCancelOwed = 0;
        world.log.events.clear();
    }

    // Each command as its own write, followed by the one-second pause.
    static std::vector<std::string> WritesWithPauses(const std::vector<std::string>& writes) {
        std::vector<std::string> events;
        for (const std::string& w : writes) {
            events.push_back("write " + w);
            events.push_back("pause 1000");
        }
        return events;
    }

    FakeWorld world;
    CSMSMgr mgr{world.Services()};
};

const std::vector<std::string> kTextExample = {"AT+CSCS=\"PCCP437\"\n\r", "AT+CMGF=1\n\r",
                                               "AT+CMGS=\"+491701234567\"\n\r", "Hello\x1A\n\r",
                                               "AT$RESET"};
const std::vector<std::string> kPduExample = {"AT+CSCS=\"UCS2\"\n\r",
                                              "AT+CMEE=2\n\r",
                                              "AT+CMGF=0\n\r",
                                              "AT+CMGS=16\n\r",
                                              "0021000A91942143658700080400480069\x1A\n\r",
                                              "AT$RESET"};

TEST_F(ManagerSend, WorkedExamplesAreSeparateWritesEachFollowedByAPause) {
    // The flags argument changes nothing.
    for (std::int32_t flags : {0, 1, -1}) {
        world.log.events.clear();
        EXPECT_EQ(mgr.SendTextMessage(u"+49 170 1234567", u"Hello", flags), kS_OK) << flags;
        EXPECT_EQ(world.log.events, WritesWithPauses(kTextExample)) << flags;
    }
    // Client strings with embedded NULs are cut there.
    for (const auto& [number, text] :
         {std::pair{u"49 1234 5678"s, u"Hi"s}, std::pair{u"49 1234 5678\0 99"s, u"Hi\0 there"s}}) {
        world.log.events.clear();
        EXPECT_EQ(mgr.SendPDUMessage(number, text), kS_OK);
        EXPECT_EQ(world.log.events, WritesWithPauses(kPduExample));
    }
}

TEST_F(ManagerSend, FailingOrShortSecondWriteEndsTheSendWithoutPause) {
    // A short write is what a write that ran out of time leaves: the line took part of it.
    struct Case {
        std::int32_t failWrite;
        std::optional<std::size_t> taken;
        HRESULT result;
    };
    for (const Case& c : {Case{31, {}, FoldError(31)}, Case{0, 3, FoldError(29)}}) {
        for (std::int32_t characterSet : {0, 1}) {
            SCOPED_TRACE(characterSet);
            world.log.events.clear();
            world.device.writeCount = 0;
            world.device.failWrite = c.failWrite;
            world.device.shortWrite = c.taken;
            world.device.failWriteNumber = 2;
            mgr.m_shCharacterSet = characterSet;
            EXPECT_EQ(mgr.SendMessage(u"+49 170 1234567", u"Hello"), c.result);
            const std::vector<std::string>& commands =
                characterSet == 0 ? kTextExample : kPduExample;
            const std::string last =
                c.taken ? "write " + commands[1].substr(0, *c.taken) : std::string("write-failed");
            EXPECT_EQ(world.log.events,
                      (std::vector<std::string>{"write " + commands[0], "pause 1000", last}));
        }
    }
}

// --- A message left open after AT+CMGS --------------------------------------------------------

const std::string kEscWrite = "write \x1B";

// Index of the AT+CMGS command in each mode's commands.
constexpr std::size_t kOpensText = 2, kOpensPdu = 3;

TEST_F(ManagerSend, SendStoppedBetweenCmgsAndTheWholeBodyCancelsTheMessageWithEsc) {
    // The line stops on AT+CMGS itself or on the body, taking none or part of it.
    for (std::int32_t characterSet : {0, 1}) {
        const std::vector<std::string>& commands = characterSet == 0 ? kTextExample : kPduExample;
        const std::size_t opens = characterSet == 0 ? kOpensText : kOpensPdu;
        for (std::size_t stopped : {opens, opens + 1}) {
            for (std::size_t taken : {0, 5}) {
                SCOPED_TRACE(std::to_string(characterSet) + " " + std::to_string(stopped) + " " +
                             std::to_string(taken));
                world.log.events.clear();
                world.device.writeCount = 0;
                world.device.shortWrite = taken;
                world.device.failWriteNumber = static_cast<int>(stopped) + 1;
                mgr.m_shCharacterSet = characterSet;
                EXPECT_EQ(characterSet == 0 ? mgr.SendMessage(u"+49 170 1234567", u"Hello")
                                            : mgr.SendMessage(u"49 1234 5678", u"Hi"),
                          FoldError(29));
                std::vector<std::string> expected = WritesWithPauses(
                    std::vector<std::string>(commands.begin(), commands.begin() + stopped));
                expected.push_back("write " + commands[stopped].substr(0, taken));
                expected.insert(expected.end(), {kEscWrite, "pause 1000"});
                EXPECT_EQ(world.log.events, expected);
                EXPECT_EQ(mgr.m_lastFailure.Text(),
                          "cannot write to port COM1: " + wire::DescribeHResult(FoldError(29)) +
                              ": the port took " + std::to_string(taken) + " of " +
                              std::to_string(commands[stopped].size()) +
                              " bytes; the message was cancelled (ESC)");
            }
        }
    }
    // Nothing is owed afterwards: the next send starts with its own first command.
    world.device.shortWrite.reset();
    world.log.events.clear();
    mgr.m_shCharacterSet = 0;
    EXPECT_EQ(mgr.SendMessage(u"+49 170 1234567", u"Hello"), kS_OK);
    EXPECT_EQ(world.log.events, WritesWithPauses(kTextExample));
}

TEST_F(ManagerSend, FailureBeforeCmgsOrAfterTheWholeBodyWritesNoEsc) {
    for (int failing : {1, 2, 5}) {  // AT+CSCS, AT+CMGF, AT$RESET
        SCOPED_TRACE(failing);
        world.log.events.clear();
        world.device.writeCount = 0;
        world.device.failWrite = 31;
        world.device.failWriteNumber = failing;
        EXPECT_EQ(mgr.SendTextMessage(u"+49 170 1234567", u"Hello", 0), FoldError(31));
        EXPECT_EQ(world.log.events.back(), "write-failed");
        EXPECT_EQ(std::count(world.log.events.begin(), world.log.events.end(), kEscWrite), 0);
        EXPECT_EQ(mgr.m_boIsCancelOwed, 0);
    }
}

TEST_F(ManagerSend, CancelTheStoppedLineDoesNotTakeIsPaidFirstByTheNextSend) {
    // The body's write is the first to find the line stopped; it stays stopped.
    world.device.shortWrite = 0;
    world.device.failWriteNumber = 4;
    world.device.failLaterWrites = true;
    EXPECT_EQ(mgr.SendTextMessage(u"+49 170 1234567", u"Hello", 0), FoldError(29));
    EXPECT_EQ(world.log.events.back(), "write ");  // the ESC, not taken
    EXPECT_NE(mgr.m_lastFailure.Text().find("the message could not be cancelled"),
              std::string::npos)
        << mgr.m_lastFailure.Text();

    // Another client's send writes nothing but the ESC it cannot get through, and says why.
    for (bool pdu : {false, true}) {
        world.log.events.clear();
        const HRESULT hr = pdu ? mgr.SendPDUMessage(u"4912345678", u"PIN 4711")
                               : mgr.SendTextMessage(u"+49 170 7654321", u"PIN 4711", 0);
        EXPECT_EQ(hr, FoldError(29));
        EXPECT_EQ(world.log.events, std::vector<std::string>{"write "});
        EXPECT_EQ(mgr.m_lastFailure.Text(),
                  "cannot write to port COM1: an earlier message is still open on the modem and "
                  "could not be cancelled: " +
                      wire::DescribeHResult(FoldError(29)) + ": the port took 0 of 1 bytes");
    }

    // The line moves: the next send cancels the old message before anything of its own.
    world.device.shortWrite.reset();
    world.log.events.clear();
    EXPECT_EQ(mgr.SendTextMessage(u"+49 170 7654321", u"PIN 4711", 0), kS_OK);
    std::vector<std::string> expected{kEscWrite, "pause 1000"};
    const auto own =
        WritesWithPauses({"AT+CSCS=\"PCCP437\"\n\r", "AT+CMGF=1\n\r",
                          "AT+CMGS=\"+491707654321\"\n\r", "PIN 4711\x1A\n\r", "AT$RESET"});
    expected.insert(expected.end(), own.begin(), own.end());
    EXPECT_EQ(world.log.events, expected);
    EXPECT_EQ(mgr.m_boIsCancelOwed, 0);
}

TEST_F(ManagerSend, DeviceGoneOnTheBodyOwesNothingBeyondTheNextOpensEsc) {
    world.device.failWrite = 1117;
    world.device.failWriteNumber = 4;
    EXPECT_EQ(mgr.SendTextMessage(u"+49 170 1234567", u"Hello", 0), FoldError(1117));
    EXPECT_EQ(world.log.events.back(), "close");  // no handle left to write an ESC to
    world.device.failWrite = 0;
    world.log.events.clear();
    ASSERT_EQ(mgr.OpenPort(u"COM1"), kS_OK);
    EXPECT_EQ(mgr.SendTextMessage(u"+49 170 1234567", u"Hello", 0), kS_OK);
    EXPECT_EQ(std::vector<std::string>(world.log.events.begin() + 2, world.log.events.begin() + 4),
              (std::vector<std::string>{kEscWrite, "pause 1000"}));
}

TEST_F(ManagerSend, GuardAndRefusedInputReachNoPort) {
    EXPECT_EQ(mgr.SendPDUMessage(u"0170 CALL ME", u"Hi"), kE_INVALIDARG);
    EXPECT_EQ(mgr.SendTextMessage(u"1", std::u16string(512, u'a'), 0), kE_INVALIDARG);
    EXPECT_EQ(mgr.SendPDUMessage(std::u16string(511, u'1'), u"Hi"), kE_INVALIDARG);

    // Either flag passes the guard; neither does not.
    mgr.m_boIsINIFileLoad = 0;
    mgr.m_boIsPortInit = 0;
    EXPECT_EQ(mgr.SendTextMessage(u"1", u"x", 0), kE_FAIL);
    EXPECT_EQ(mgr.SendPDUMessage(u"1", u"x"), kE_FAIL);
    EXPECT_TRUE(world.log.events.empty());
    EXPECT_EQ(world.device.writeCount, 0);
    mgr.m_boIsPortInit = 1;
    EXPECT_EQ(mgr.SendTextMessage(u"1", u"x", 0), kS_OK);
    EXPECT_EQ(world.device.writeCount, 5);
}

// ---- Reading the modem: the answers of a send in its pauses, the lines the modem sent between
// calls, the modes of SendConfirmed and the modem check.

// A modem with echo off that answers as a common USB stick does.
std::string UsbStickAnswer(const std::string& written) {
    if (written.starts_with("AT+CMGS")) return "\r\n> ";
    if (written.find('\x1A') != std::string::npos) return "\r\n+CMGS: 5\r\n\r\nOK\r\n";
    if (written.starts_with("AT+CGMI")) return "\r\nMerel\r\n\r\nOK\r\n";
    if (written.starts_with("AT+CSQ")) return "\r\n+CSQ: 17,99\r\n\r\nOK\r\n";
    if (written.starts_with("AT+CPIN?")) return "\r\n+CME ERROR: 10\r\n";
    if (written == "\x1B") return "";
    return "\r\nOK\r\n";
}

TEST_F(ManagerSend, ConfirmedSendReadsAnswersInItsPausesAndKeepsTheTranscript) {
    world.device.modem = UsbStickAnswer;
    // Said before the send: kept in its transcript, taken for no answer.
    world.device.incoming = "\r\n+CMTI: \"SM\",1\r\n\r\nOK\r\n";
    std::int32_t reference = -1;
    EXPECT_EQ(mgr.SendConfirmed(u"+49 170 1234567", u"Hello", 0, reference), kS_OK);
    EXPECT_EQ(reference, 5);
    EXPECT_EQ(mgr.LastModemReport().transcript,
              "\\r\\n+CMTI: \"SM\",1\\r\\n\\r\\nOK\\r\\n\\r\\nOK\\r\\n\\r\\nOK\\r\\n\\r\\n> "
              "\\r\\n+CMGS: 5\\r\\n\\r\\nOK\\r\\n\\r\\nOK\\r\\n");
    // The verdict came within the pause after the message: nothing waited beyond the pauses.
    EXPECT_EQ(world.pause.pauses, (std::vector<std::uint32_t>(5, 1000)));
}

TEST_F(ManagerSend, ModeChoosesTheSubmissionAndAnUnknownModeWritesNothing) {
    std::int32_t reference = 7;
    mgr.m_shCharacterSet = 1;
    EXPECT_EQ(mgr.SendConfirmed(u"4912345678", u"Hi", -1, reference), kS_OK);
    EXPECT_EQ(world.log.writes.front(), "AT+CSCS=\"UCS2\"\n\r");
    EXPECT_EQ(reference, -1) << "a silent modem confirms nothing";
    world.log.writes.clear();
    EXPECT_EQ(mgr.SendConfirmed(u"4912345678", u"Hi", 0, reference), kS_OK);
    EXPECT_EQ(world.log.writes.front(), "AT+CSCS=\"PCCP437\"\n\r");

    world.log.writes.clear();
    EXPECT_EQ(mgr.SendConfirmed(u"4912345678", u"Hi", 2, reference), kE_INVALIDARG);
    EXPECT_EQ(mgr.m_lastFailure.Text(),
              "mode 2 refused: it is neither -1 (the stored character set), 0 (text mode) nor 1 "
              "(PDU mode)");
    mgr.m_shCharacterSet = 7;
    EXPECT_EQ(mgr.SendConfirmed(u"4912345678", u"Hi", -1, reference), kE_INVALIDARG);
    EXPECT_EQ(mgr.m_lastFailure.what,
              "the stored character set 7 is neither 0 (text mode) nor 1 (PDU mode)");
    EXPECT_TRUE(world.log.writes.empty());
    EXPECT_EQ(reference, -1);
}

TEST_F(ManagerSend, ReopenedPortForgetsWhatTheModemSaid) {
    world.device.modem = [](const std::string& written) {
        return written.starts_with("AT+CSCS") ? std::string("\r\nERROR\r\n")
                                              : UsbStickAnswer(written);
    };
    std::int32_t reference = -1;
    ASSERT_EQ(mgr.SendConfirmed(u"+4917012", u"Hi", 0, reference), kS_OK);
    EXPECT_EQ(mgr.LastModemReport().warnings.size(), 1u);
    // Another modem behind the port now: what the last one refused says nothing of it.
    world.device.modem = UsbStickAnswer;
    ASSERT_EQ(mgr.ClosePort(), kS_OK);
    ASSERT_EQ(mgr.OpenPort(u"COM1"), kS_OK);
    world.log.writes.clear();
    ASSERT_EQ(mgr.SendConfirmed(u"+4917012", u"Hi", 0, reference), kS_OK);
    EXPECT_TRUE(mgr.LastModemReport().warnings.empty());
    EXPECT_EQ(world.log.writes.front(), "\x1B") << "the reopened port owes its ESC first";
}

TEST_F(ManagerSend, CheckWritesOnlyQueriesAndGivesALinePerQuery) {
    world.device.modem = UsbStickAnswer;
    std::uint32_t count = 0;
    std::vector<std::u16string> lines;
    ASSERT_EQ(mgr.CheckModem(count, lines), kS_OK);
    std::vector<std::string> shown;
    for (const auto& l : lines) shown.push_back(Utf16ToUtf8(l));
    EXPECT_EQ(shown, (std::vector<std::string>{"AT\tOK", "AT+CGMI\tMerel | OK", "AT+CGMM\tOK",
                                               "AT+CGMR\tOK", "AT+CPIN?\t+CME ERROR: 10",
                                               "AT+CSQ\t+CSQ: 17,99 | OK", "AT+CREG?\tOK",
                                               "AT+COPS?\tOK", "AT+CSCS=?\tOK"}));
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(world.log.writes,
              (std::vector<std::string>{"AT\r", "AT+CGMI\r", "AT+CGMM\r", "AT+CGMR\r", "AT+CPIN?\r",
                                        "AT+CSQ\r", "AT+CREG?\r", "AT+COPS?\r", "AT+CSCS=?\r"}));
    EXPECT_EQ(world.pause.pauses, (std::vector<std::uint32_t>(9, 2000)));

    // A silent modem: every query unanswered.
    world.device.modem = nullptr;
    ASSERT_EQ(mgr.CheckModem(count, lines), kS_OK);
    EXPECT_EQ(Utf16ToUtf8(lines.back()), "AT+CSCS=?\t(no answer)");

    // Without an open port, nothing to ask.
    ASSERT_EQ(mgr.ClosePort(), kS_OK);
    EXPECT_EQ(mgr.CheckModem(count, lines), static_cast<HRESULT>(0x80070006u));
    EXPECT_EQ(mgr.m_lastFailure.Text(), "no port is open: call Init or TestPort");
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace merel
