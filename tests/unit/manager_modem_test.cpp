// The manager reading a modem through the port: the answers of a send in its pauses, the lines
// the modem sent between calls, the second interface's modes and the modem check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/narrow.h"
#include "fakes.h"
#include "manager/sms_mgr.h"

namespace merel {
namespace {

using test::FakeWorld;

// A modem with echo off that answers as a common USB stick does.
std::string Answer(const std::string& written) {
    if (written.starts_with("AT+CMGS")) return "\r\n> ";
    if (written.find('\x1A') != std::string::npos) return "\r\n+CMGS: 5\r\n\r\nOK\r\n";
    if (written.starts_with("AT+CGMI")) return "\r\nMerel\r\n\r\nOK\r\n";
    if (written.starts_with("AT+CSQ")) return "\r\n+CSQ: 17,99\r\n\r\nOK\r\n";
    if (written.starts_with("AT+CPIN?")) return "\r\n+CME ERROR: 10\r\n";
    if (written == "\x1B") return "";
    return "\r\nOK\r\n";
}

class ManagerModem : public ::testing::Test {
  protected:
    void SetUp() override {
        mgr.m_boIsINIFileLoad = 1;
        ASSERT_EQ(mgr.OpenPort(u"COM1"), kS_OK);
        mgr.m_boIsCancelOwed = 0;
        world.log.events.clear();
        world.log.writes.clear();
    }

    FakeWorld world;
    CSMSMgr mgr{world.Services()};
};

TEST_F(ManagerModem, ConfirmedSendReadsAnswersInItsPausesAndKeepsTheTranscript) {
    world.device.modem = Answer;
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

TEST_F(ManagerModem, ModeChoosesTheSubmissionAndAnUnknownModeWritesNothing) {
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

TEST_F(ManagerModem, ReopenedPortForgetsWhatTheModemSaid) {
    world.device.modem = [](const std::string& written) {
        return written.starts_with("AT+CSCS") ? std::string("\r\nERROR\r\n") : Answer(written);
    };
    std::int32_t reference = -1;
    ASSERT_EQ(mgr.SendConfirmed(u"+4917012", u"Hi", 0, reference), kS_OK);
    EXPECT_EQ(mgr.LastModemReport().warnings.size(), 1u);
    // Another modem behind the port now: what the last one refused says nothing of it.
    world.device.modem = Answer;
    ASSERT_EQ(mgr.ClosePort(), kS_OK);
    ASSERT_EQ(mgr.OpenPort(u"COM1"), kS_OK);
    world.log.writes.clear();
    ASSERT_EQ(mgr.SendConfirmed(u"+4917012", u"Hi", 0, reference), kS_OK);
    EXPECT_TRUE(mgr.LastModemReport().warnings.empty());
    EXPECT_EQ(world.log.writes.front(), "\x1B") << "the reopened port owes its ESC first";
}

TEST_F(ManagerModem, CheckWritesOnlyQueriesAndGivesALinePerQuery) {
    world.device.modem = Answer;
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
