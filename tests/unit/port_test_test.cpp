// Reopening the port on request: every outcome, with the two port flags and what the device saw.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "fakes.h"
#include "port/serial_port.h"

namespace merel {
namespace {

using test::FakeSerialDevice;
using Events = std::vector<std::string>;

const Events kConfigureCalls = {"get-state", "set-state", "get-timeouts", "set-timeouts"};
// A configured port is sent the ESC that its open owes.
const Events kConfigureAndCancel = {"get-state",    "set-state",  "get-timeouts",
                                    "set-timeouts", "write \x1B", "pause 1000"};

Events Concat(Events a, const Events& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class PortTest : public ::testing::Test {
  protected:
    // Runs the port test on COM1 and checks the result, both flags, the last error, the device
    // calls, and that an open port is the one handle that the device holds.
    void ExpectOutcome(std::uint32_t result, std::int32_t open, std::int32_t init,
                       std::int32_t lastError, const Events& events) {
        log.events.clear();
        EXPECT_EQ(TestPort(port, u"COM1", 460800), static_cast<HRESULT>(result));
        EXPECT_EQ(m_boIsPortOpen, open);
        EXPECT_EQ(m_boIsPortInit, init);
        EXPECT_EQ(m_dwLastError, lastError);
        EXPECT_EQ(log.events, events);
        EXPECT_EQ(device.openHandles.size(), open == 1 ? 1u : 0u);
        EXPECT_EQ(m_hPort != kInvalidPort, open == 1);
    }
    void OpenBefore() {
        ASSERT_EQ(OpenPort(port, u"COM1"), kS_OK);
        log.events.clear();
    }

    test::EventLog log;
    FakeSerialDevice device{log};
    test::RecordingPause pause{log};
    PortHandle m_hPort = kInvalidPort;
    std::int32_t m_dwLastError = 0;
    std::u16string openName;
    Failure failure, openFailure;
    // Both flags up, as an earlier successful Init leaves them.
    std::int32_t m_boIsPortOpen = 1;
    std::int32_t m_boIsPortInit = 1;
    std::int32_t m_boIsCancelOwed = 0;
    modem::ModemLine line;
    PortLayer port{device,      pause,          m_hPort,        m_dwLastError,    openName, failure,
                   openFailure, m_boIsPortOpen, m_boIsPortInit, m_boIsCancelOwed, line};
};

TEST_F(PortTest, WorkingPortIsClosedAndTheNamedPortReopenedWithTheFixedLineSettings) {
    device.existing = {u"COM1", u"COM7"};
    OpenBefore();
    const PortHandle old = m_hPort;
    device.state.ByteSize = 5;
    device.state.Parity = 2;
    device.state.StopBits = 2;
    device.state.fOutX = 1;
    device.timeouts = CommTimeouts{0, 1, 2, 3, 4};

    // The name and baud rate given are used, whatever the port was opened with before.
    EXPECT_EQ(TestPort(port, u"COM7", 115200), kS_OK);
    EXPECT_EQ(m_boIsPortOpen, 1);
    EXPECT_EQ(m_boIsPortInit, 1);
    EXPECT_EQ(log.events,
              Concat({"close", "open COM7", "default-config COM7"}, kConfigureAndCancel));
    EXPECT_NE(m_hPort, old);
    EXPECT_EQ(device.openHandles, std::vector<PortHandle>{m_hPort});
    // Baud rate, data bits, parity, stop bits and the hardware handshake's CTS, RTS and XON.
    const CommState& s = device.state;
    EXPECT_EQ(std::tuple(s.BaudRate, s.ByteSize, s.Parity, s.StopBits, s.fOutxCtsFlow,
                         s.fRtsControl, s.fOutX),
              std::tuple(115200u, 8, 0, 0, 1u, kRtsControlHandshake, 0u));
    EXPECT_EQ(device.timeouts, (CommTimeouts{kMaxDword, 0, 0, 3, 4}));
}

TEST_F(PortTest, WithoutOpenPortOpensAndConfigures) {
    ExpectOutcome(0, 1, 1, 0, Concat({"open COM1", "default-config COM1"}, kConfigureAndCancel));
}

TEST_F(PortTest, FailedOpenClearsBothFlagsAndLeavesNoPort) {
    OpenBefore();
    device.failOpen = 2;
    // The old port is closed on the way.
    ExpectOutcome(0x80070002u, 0, 0, 2, {"close", "open COM1"});
    device.failOpen = 1200;  // no serial device
    ExpectOutcome(0x800704B0u, 0, 0, 1200, {"open COM1"});
    // An open that fails with the code of a port in use leaves no port to test either.
    device.failOpen = 1247;
    ExpectOutcome(0x800704DFu, 0, 0, 1247, {"open COM1"});
}

TEST_F(PortTest, FailedDefaultConfigurationStillGoesOnToConfigure) {
    device.failDefaultConfig = 87;
    ExpectOutcome(0, 1, 1, 0, Concat({"open COM1", "default-config COM1"}, kConfigureAndCancel));
}

TEST_F(PortTest, FailedConfigurationLeavesThePortOpenButNotConfigured) {
    device.failGetState = 31;
    ExpectOutcome(0x8007001Fu, 1, 0, 31, {"open COM1", "default-config COM1", "get-state"});
    device.failGetState = 0;
    device.failSetTimeouts = 31;
    ExpectOutcome(0x8007001Fu, 1, 0, 31,
                  Concat({"close", "open COM1", "default-config COM1"}, kConfigureCalls));
    // With the default configuration failing too, the later error is reported.
    device.failSetTimeouts = 0;
    device.failDefaultConfig = 87;
    device.failSetState = 31;
    ExpectOutcome(0x8007001Fu, 1, 0, 31,
                  {"close", "open COM1", "default-config COM1", "get-state", "set-state"});
}

TEST_F(PortTest, ADeviceGoneWhileConfiguringLeavesNoPortUntilItIsBack) {
    device.failSetState = 1167;
    ExpectOutcome(0x8007048Fu, 0, 0, 1167,
                  {"open COM1", "default-config COM1", "get-state", "set-state", "close"});
    device.failSetState = 0;
    ExpectOutcome(0, 1, 1, 0, Concat({"open COM1", "default-config COM1"}, kConfigureAndCancel));
}

TEST_F(PortTest, OldHandleThatCannotBeClosedIsTestedInstead) {
    OpenBefore();
    const PortHandle old = m_hPort;
    device.failClose = 6;
    // The open finds the port in use; the old handle is configured.
    ExpectOutcome(0, 1, 1, 0, Concat({"close"}, kConfigureAndCancel));
    EXPECT_EQ(m_hPort, old);
    device.failGetState = 6;
    ExpectOutcome(0x80070006u, 1, 0, 6, {"close", "get-state"});
    EXPECT_EQ(m_hPort, old);
}

}  // namespace
}  // namespace merel
