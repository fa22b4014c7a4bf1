// Sending through the manager: the guard, the port layer's write-and-pause for every command,
// and the first failing write ending the send.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes.h"
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

}  // namespace
}  // namespace merel
