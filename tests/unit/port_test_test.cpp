// Reopening the port on request: every outcome, with the two port flags and what the device saw.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fakes.h"
#include "port/serial_port.h"

namespace merel {
namespace {

using Events = std::vector<std::string>;

const Events kConfigureCalls = {"get-state", "set-state", "get-timeouts", "set-timeouts"};

class PortTest : public ::testing::Test {
  protected:
    HRESULT Run(const std::u16string& name = u"COM1", std::uint32_t baudrate = 460800) {
        return TestPort(port, name, baudrate, m_boIsPortOpen, m_boIsPortInit);
    }
    void OpenBefore() {
        ASSERT_EQ(OpenPort(port, u"COM1"), kS_OK);
        log.events.clear();
    }
    static Events Concat(Events a, const Events& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    test::EventLog log;
    test::FakeSerialDevice device{log};
    test::RecordingPause pause{log};
    PortHandle m_hPort = kInvalidPort;
    std::int32_t m_dwLastError = 0;
    PortLayer port{device, pause, m_hPort, m_dwLastError};
    // Both flags up, as an earlier successful Init leaves them.
    std::int32_t m_boIsPortOpen = 1;
    std::int32_t m_boIsPortInit = 1;
};

TEST_F(PortTest, WithoutOpenPortOpensAndConfigures) {
    EXPECT_EQ(Run(), kS_OK);
    EXPECT_EQ(m_boIsPortOpen, 1);
    EXPECT_EQ(m_boIsPortInit, 1);
    EXPECT_NE(m_hPort, kInvalidPort);
    // Nothing to close first.
    EXPECT_EQ(log.events, Concat({"open COM1", "default-config COM1"}, kConfigureCalls));
    EXPECT_TRUE(pause.pauses.empty());
}

TEST_F(PortTest, WorkingPortIsClosedReopenedAndConfiguredWithTheFixedLineSettings) {
    OpenBefore();
    const PortHandle old = m_hPort;
    device.state.ByteSize = 5;
    device.state.Parity = 2;
    device.state.StopBits = 2;
    device.state.fOutX = 1;
    device.timeouts = CommTimeouts{0, 1, 2, 3, 4};

    EXPECT_EQ(Run(u"COM1", 115200), kS_OK);
    EXPECT_EQ(m_boIsPortOpen, 1);
    EXPECT_EQ(m_boIsPortInit, 1);
    EXPECT_EQ(log.events, Concat({"close", "open COM1", "default-config COM1"}, kConfigureCalls));
    EXPECT_NE(m_hPort, old);
    EXPECT_EQ(device.openHandles, std::vector<PortHandle>{m_hPort});
    EXPECT_EQ(device.state.BaudRate, 115200u);
    EXPECT_EQ(device.state.ByteSize, 8);
    EXPECT_EQ(device.state.Parity, 0);
    EXPECT_EQ(device.state.StopBits, 0);
    EXPECT_EQ(device.state.fOutxCtsFlow, 1u);
    EXPECT_EQ(device.state.fRtsControl, kRtsControlHandshake);
    EXPECT_EQ(device.state.fOutX, 0u);
    EXPECT_EQ(device.timeouts, (CommTimeouts{kMaxDword, 0, 0, 3, 4}));
}

TEST_F(PortTest, UsesTheNameItIsGiven) {
    device.existing = {u"COM1", u"COM7"};
    OpenBefore();
    EXPECT_EQ(Run(u"COM7", 9600), kS_OK);
    EXPECT_EQ(log.events[1], "open COM7");
    EXPECT_EQ(device.state.BaudRate, 9600u);
}

TEST_F(PortTest, FailedOpenClearsBothFlagsAndLeavesNoPort) {
    OpenBefore();
    EXPECT_EQ(Run(u"COM4"), static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(m_boIsPortOpen, 0);
    EXPECT_EQ(m_boIsPortInit, 0);
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_EQ(m_dwLastError, 2);
    EXPECT_TRUE(device.openHandles.empty());  // the old port was closed on the way
    EXPECT_EQ(log.events, (Events{"close", "open COM4"}));
}

TEST_F(PortTest, OpenRefusedForANonSerialDeviceIsAFailedOpen) {
    device.failOpen = 1200;
    EXPECT_EQ(Run(), static_cast<HRESULT>(0x800704B0u));
    EXPECT_EQ(m_boIsPortOpen, 0);
    EXPECT_EQ(m_boIsPortInit, 0);
}

TEST_F(PortTest, FailedDefaultConfigurationStillGoesOnToConfigure) {
    device.failDefaultConfig = 87;
    EXPECT_EQ(Run(), kS_OK);
    EXPECT_EQ(m_boIsPortOpen, 1);
    EXPECT_EQ(m_boIsPortInit, 1);
    EXPECT_NE(m_hPort, kInvalidPort);
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_EQ(log.events, Concat({"open COM1", "default-config COM1"}, kConfigureCalls));
}

TEST_F(PortTest, FailedConfigurationLeavesThePortOpenButNotConfigured) {
    struct Case {
        const char* name;
        std::int32_t test::FakeSerialDevice::*fail;
    };
    for (const Case& c : {Case{"get-state", &test::FakeSerialDevice::failGetState},
                          Case{"set-timeouts", &test::FakeSerialDevice::failSetTimeouts}}) {
        SCOPED_TRACE(c.name);
        test::EventLog caseLog;
        test::FakeSerialDevice failing(caseLog);
        failing.*(c.fail) = 31;
        PortHandle handle = kInvalidPort;
        std::int32_t lastError = 0;
        std::int32_t open = 0, init = 1;
        const PortLayer layer{failing, pause, handle, lastError};
        EXPECT_EQ(TestPort(layer, u"COM1", 460800, open, init), static_cast<HRESULT>(0x8007001Fu));
        EXPECT_EQ(open, 1);
        EXPECT_EQ(init, 0);
        EXPECT_EQ(lastError, 31);
        EXPECT_NE(handle, kInvalidPort);
    }
}

TEST_F(PortTest, BothDefaultAndLaterConfigurationFailingReportsTheLaterError) {
    device.failDefaultConfig = 87;
    device.failSetState = 31;
    EXPECT_EQ(Run(), static_cast<HRESULT>(0x8007001Fu));
    EXPECT_EQ(m_boIsPortOpen, 1);
    EXPECT_EQ(m_boIsPortInit, 0);
}

TEST_F(PortTest, OldHandleThatCannotBeClosedIsTestedInstead) {
    OpenBefore();
    const PortHandle old = m_hPort;
    device.failClose = 6;
    EXPECT_EQ(Run(), kS_OK);
    EXPECT_EQ(m_boIsPortOpen, 1);
    EXPECT_EQ(m_boIsPortInit, 1);
    EXPECT_EQ(m_hPort, old);
    // The open found the port in use; the old handle was configured.
    EXPECT_EQ(log.events, Concat({"close"}, kConfigureCalls));
    EXPECT_EQ(device.openCount, 1);
}

TEST_F(PortTest, OldHandleThatCannotBeClosedAndFailsToConfigure) {
    OpenBefore();
    device.failClose = 6;
    device.failGetState = 6;
    EXPECT_EQ(Run(), static_cast<HRESULT>(0x80070006u));
    EXPECT_EQ(m_boIsPortOpen, 1);
    EXPECT_EQ(m_boIsPortInit, 0);
    EXPECT_EQ(m_dwLastError, 6);
}

}  // namespace
}  // namespace merel
