// The four port operations over the fake device: results, the last error left behind, which
// device calls happen in which order, and what reaches the device control block.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "fakes.h"
#include "interface/hresult_text.h"
#include "port/serial_port.h"

namespace merel {
namespace {

using test::FakeSerialDevice;
using Events = std::vector<std::string>;
// fOutxCtsFlow, fOutxDsrFlow, fDtrControl, fOutX, fInX, fRtsControl.
using Flow = std::array<std::uint32_t, 6>;

constexpr std::int32_t kStale = 4711;  // left by some earlier operation
constexpr CommTimeouts kTimeouts{5, 6, 7, 8, 9};

HRESULT Hr(std::uint32_t value) {
    return static_cast<HRESULT>(value);
}

// A device control block whose every field, in the order of the fields, has a value of its own,
// so that a field changed by mistake shows. Its flow fields are (1, 0, 1, 1, 0, 3).
constexpr CommState kDistinct{28, 9600,  1, 0,    1,   0, 1, 1, 1,    1,    0,   1,    1,   3,
                              1,  0x155, 7, 2048, 512, 7, 2, 2, 0x11, 0x13, '?', 0x1A, '!', 9};

// kDistinct with the line fields of 8 data bits, one stop bit and the given parity and flow.
CommState Configured(std::uint32_t baud, std::uint8_t parity, const Flow& f) {
    CommState s = kDistinct;
    s.BaudRate = baud;
    s.ByteSize = 8;
    s.Parity = parity;
    s.StopBits = 0;
    s.fParity = parity != 0 ? 1 : 0;
    s.fOutxCtsFlow = f[0];
    s.fOutxDsrFlow = f[1];
    s.fDtrControl = f[2];
    s.fOutX = f[3];
    s.fInX = f[4];
    s.fRtsControl = f[5];
    return s;
}

class SerialPortTest : public ::testing::Test {
  protected:
    // Opens COM1 afresh on a device holding kDistinct and the time-outs, and forgets the calls.
    void Reopen(const CommTimeouts& timeouts = kTimeouts) {
        device.state = kDistinct;
        device.timeouts = timeouts;
        m_hPort = kInvalidPort;
        ASSERT_EQ(OpenPort(port, u"COM1"), kS_OK);
        log.events.clear();
        m_dwLastError = kStale;
        cancelOwed = 0;  // as Init leaves it once the line has taken the open's ESC
    }

    test::EventLog log;
    FakeSerialDevice device{log};
    test::RecordingPause pause{log};
    PortHandle m_hPort = kInvalidPort;
    std::int32_t m_dwLastError = kStale;
    std::u16string openName;
    Failure failure, openFailure;
    std::int32_t portOpen = 1, portInit = 1;  // as a successful Init leaves them
    std::int32_t cancelOwed = 0;
    modem::ModemLine line;
    PortLayer port{device,      pause,    m_hPort,  m_dwLastError, openName, failure,
                   openFailure, portOpen, portInit, cancelOwed,    line};
};

// --- OpenPort -------------------------------------------------------------------------------

using SerialPortOpen = SerialPortTest;

TEST_F(SerialPortOpen, OpensWithTheDefaultConfigurationThenReports1247WhileOpen) {
    EXPECT_EQ(OpenPort(port, u"COM1"), kS_OK);
    EXPECT_NE(m_hPort, kInvalidPort);
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_EQ(log.events, (Events{"open COM1", "default-config COM1"}));

    // Another name changes nothing: names are not compared.
    const PortHandle first = m_hPort;
    log.events.clear();
    EXPECT_EQ(OpenPort(port, u"COM9"), kS_OK);
    EXPECT_EQ(m_hPort, first);
    EXPECT_EQ(m_dwLastError, 1247);
    EXPECT_TRUE(log.events.empty());
}

TEST_F(SerialPortOpen, FailedOpenLeavesNoHandleAndTheRawError) {
    // 1200 is what a backend reports for something that opened but is no character device.
    for (const auto& [error, result] :
         {std::pair{2, 0x80070002u}, std::pair{5, 0x80070005u}, std::pair{32, 0x80070020u},
          std::pair{1200, 0x800704B0u}, std::pair{0x12345, 0x80072345u}}) {
        SCOPED_TRACE(error);
        log.events.clear();
        device.failOpen = error;
        m_dwLastError = kStale;
        EXPECT_EQ(OpenPort(port, u"COM1"), Hr(result));
        EXPECT_EQ(m_hPort, kInvalidPort);
        EXPECT_EQ(m_dwLastError, error);
        EXPECT_EQ(log.events, Events{"open COM1"});  // no default configuration
    }
}

TEST_F(SerialPortOpen, FailedDefaultConfigurationKeepsTheHandleOpen) {
    device.failDefaultConfig = 87;
    EXPECT_EQ(OpenPort(port, u"COM1"), Hr(0x80070057u));
    EXPECT_EQ(m_dwLastError, 87);
    ASSERT_NE(m_hPort, kInvalidPort);

    // The handle counts as an open port from now on.
    EXPECT_EQ(OpenPort(port, u"COM1"), kS_OK);
    EXPECT_EQ(m_dwLastError, 1247);
    EXPECT_EQ(device.openHandles, std::vector<PortHandle>{m_hPort});
    EXPECT_EQ(device.openCount, 1);
}

// --- ConfigurePort --------------------------------------------------------------------------

using SerialPortConfigure = SerialPortTest;

TEST_F(SerialPortConfigure, WithoutPortNothingReachesTheDevice) {
    EXPECT_EQ(ConfigurePort(port, 460800, 8, 0, 0, 1, 0), Hr(0x80070006u));
    EXPECT_EQ(m_dwLastError, 6);
    m_dwLastError = kStale;
    EXPECT_EQ(WriteCommand(port, "AT\n\r"), Hr(0x80070006u));
    EXPECT_EQ(m_dwLastError, 6);
    m_dwLastError = kStale;
    EXPECT_EQ(ClosePort(port), kS_OK);
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_TRUE(log.events.empty());  // no device call, no write, no pause
}

TEST_F(SerialPortConfigure, HandshakeCodesSetTheFlowFieldsAndNothingElseChanges) {
    // An unknown code is no error and leaves the device's flow fields as read.
    for (const auto& [handshake, flow] :
         {std::pair{0, Flow{0, 0, kDtrControlDisable, 0, 0, kRtsControlDisable}},
          std::pair{1, Flow{1, 1, kDtrControlHandshake, 0, 0, kRtsControlHandshake}},
          std::pair{2, Flow{0, 0, kDtrControlDisable, 1, 1, kRtsControlDisable}},
          std::pair{3, Flow{1, 0, 1, 1, 0, 3}}, std::pair{-1, Flow{1, 0, 1, 1, 0, 3}}}) {
        SCOPED_TRACE(handshake);
        Reopen();
        EXPECT_EQ(ConfigurePort(port, 460800, 8, 0, 0, handshake, 0), kS_OK);
        EXPECT_EQ(m_dwLastError, 0);
        EXPECT_EQ(log.events, (Events{"get-state", "set-state", "get-timeouts", "set-timeouts"}));
        EXPECT_EQ(device.state, Configured(460800, 0, flow));
    }
}

TEST_F(SerialPortConfigure, TakesTheWholeBaudRateAndTheLowByteOfTheLineCodes) {
    struct Case {
        std::uint32_t baud;
        std::int32_t dataBits, parity, stopBits;
        std::uint8_t byteSize, parityField, stopField;
        std::uint32_t fParity;
    };
    // fParity is on exactly when the parity code is not 0: 256 has a low byte of 0 yet is a code
    // other than 0.
    for (const Case& c : {Case{9600, 8, 0, 0, 8, 0, 0, 0}, Case{9600, 8, 1, 1, 8, 1, 1, 1},
                          Case{300, -1, 2, 2, 0xFF, 2, 2, 1}, Case{9600, 8, 3, 0, 8, 3, 0, 1},
                          Case{0xFFFFFFFFu, 0x107, 0x201, 0x302, 7, 1, 2, 1},
                          Case{9600, 8, 256, 0, 8, 0, 0, 1}, Case{9600, 8, -1, 0, 8, 0xFF, 0, 1}}) {
        SCOPED_TRACE(c.parity);
        Reopen();
        device.state.fParity = c.fParity == 0 ? 1 : 0;
        EXPECT_EQ(ConfigurePort(port, c.baud, c.dataBits, c.parity, c.stopBits, 1, 0), kS_OK);
        const CommState& s = device.state;
        EXPECT_EQ(std::tuple(s.BaudRate, s.ByteSize, s.Parity, s.StopBits, s.fParity),
                  std::tuple(c.baud, c.byteSize, c.parityField, c.stopField, c.fParity));
    }
}

TEST_F(SerialPortConfigure, ReadModesSetTheIntervalOrFailAfterTheLineSettingsAreApplied) {
    struct Case {
        std::int32_t mode;
        HRESULT result;  // also what is left in the last error, as the HRESULT itself
        CommTimeouts timeouts;
    };
    // Only the interval and the read totals change; an unknown mode leaves the time-outs alone.
    for (const Case& c : {Case{0, kS_OK, {kMaxDword, 0, 0, 8, 9}}, Case{1, kS_OK, {0, 0, 0, 8, 9}},
                          Case{2, kE_INVALIDARG, kTimeouts}, Case{-1, kE_INVALIDARG, kTimeouts}}) {
        SCOPED_TRACE(c.mode);
        Reopen();
        EXPECT_EQ(ConfigurePort(port, 115200, 8, 1, 0, 0, c.mode), c.result);
        EXPECT_EQ(m_dwLastError, c.result);
        EXPECT_EQ(log.events.size(), c.result == kS_OK ? 4u : 3u);  // no set-timeouts on failure
        EXPECT_EQ(device.state, Configured(115200, 1, Flow{}));
        EXPECT_EQ(device.timeouts, c.timeouts);
    }
}

TEST_F(SerialPortConfigure, PortWithoutWriteLimitGetsTenSecondsAndTwiceTheByteTime) {
    // A byte is 10 bits: 9600 baud take 1.04 ms for it, rounded up to 2, doubled to 4.
    // A rate of 0 must not divide; the highest must not overflow while rounding.
    for (const auto& [baud, multiplier] :
         {std::pair{460800u, 2u}, std::pair{115200u, 2u}, std::pair{9600u, 4u},
          std::pair{300u, 68u}, std::pair{0u, 2u}, std::pair{0xFFFFFFFFu, 2u}}) {
        SCOPED_TRACE(baud);
        Reopen(CommTimeouts{5, 6, 7, 0, 0});
        EXPECT_EQ(ConfigurePort(port, baud, 8, 0, 0, 1, 0), kS_OK);
        EXPECT_EQ(device.timeouts, (CommTimeouts{kMaxDword, 0, 0, multiplier, 10000}));
    }
    // A refused read mode writes no time-outs at all, so no limit either.
    Reopen(CommTimeouts{5, 6, 7, 0, 0});
    EXPECT_EQ(ConfigurePort(port, 9600, 8, 0, 0, 1, 2), kE_INVALIDARG);
    EXPECT_EQ(device.timeouts, (CommTimeouts{5, 6, 7, 0, 0}));
}

TEST_F(SerialPortConfigure, WriteLimitThePortHadStaysAsRead) {
    // Either field alone is a limit of its own; kTimeouts (both set) is covered above.
    for (const CommTimeouts& had : {CommTimeouts{5, 6, 7, 8, 0}, CommTimeouts{5, 6, 7, 0, 9}}) {
        SCOPED_TRACE(had.WriteTotalTimeoutConstant);
        Reopen(had);
        EXPECT_EQ(ConfigurePort(port, 9600, 8, 0, 0, 1, 1), kS_OK);
        EXPECT_EQ(device.timeouts, (CommTimeouts{0, 0, 0, had.WriteTotalTimeoutMultiplier,
                                                 had.WriteTotalTimeoutConstant}));
    }
}

TEST_F(SerialPortConfigure, FailingDeviceCallStopsAtOnceWithTheRawError) {
    const std::pair<std::int32_t FakeSerialDevice::*, Events> cases[] = {
        {&FakeSerialDevice::failGetState, {"get-state"}},
        {&FakeSerialDevice::failSetState, {"get-state", "set-state"}},
        {&FakeSerialDevice::failGetTimeouts, {"get-state", "set-state", "get-timeouts"}},
        {&FakeSerialDevice::failSetTimeouts,
         {"get-state", "set-state", "get-timeouts", "set-timeouts"}},
    };
    // The same on a port that has no write limit yet: it does not get one half-way.
    for (const CommTimeouts& had : {kTimeouts, CommTimeouts{5, 6, 7, 0, 0}}) {
        for (const auto& [fail, events] : cases) {
            SCOPED_TRACE(events.back());
            Reopen(had);
            device.*fail = 31;
            // An unknown read mode is looked at only after the time-outs are read, so a failure
            // of the device before that wins over it.
            const std::int32_t mode = fail == &FakeSerialDevice::failSetTimeouts ? 0 : 2;
            EXPECT_EQ(ConfigurePort(port, 460800, 8, 0, 0, 1, mode), Hr(0x8007001Fu));
            EXPECT_EQ(m_dwLastError, 31);
            EXPECT_EQ(log.events, events);
            EXPECT_NE(m_hPort, kInvalidPort);
            EXPECT_EQ(device.timeouts, had);
            device.*fail = 0;
        }
    }
}

// --- WriteCommand ---------------------------------------------------------------------------

using SerialPortWrite = SerialPortTest;

TEST_F(SerialPortWrite, WritesWhatPrecedesTheFirstNulOnceThenPausesOneSecond) {
    Reopen();
    using Case = std::pair<std::string_view, std::string>;
    for (const auto& [command, sent] : {Case{"AT+CMGF=1\n\r\x80\xFF", "AT+CMGF=1\n\r\x80\xFF"},
                                        Case{std::string_view("AT\0XYZ", 6), "AT"},
                                        Case{"", ""}}) {  // nothing to write still pauses
        SCOPED_TRACE(sent);
        log.events.clear();
        m_dwLastError = kStale;
        EXPECT_EQ(WriteCommand(port, command), kS_OK);
        EXPECT_EQ(m_dwLastError, 0);
        EXPECT_EQ(log.events, (Events{"write " + sent, "pause 1000"}));
    }
}

TEST_F(SerialPortWrite, FailedOrShortWriteReturnsAtOnceAndLeavesNoLastError) {
    Reopen();
    struct Case {
        std::int32_t failWrite;
        std::optional<std::size_t> taken;
        std::uint32_t result;
    };
    for (const Case& c :
         {Case{31, {}, 0x8007001Fu}, Case{0, 0, 0x8007001Du}, Case{0, 4, 0x8007001Du}}) {
        SCOPED_TRACE(c.result);
        device.failWrite = c.failWrite;
        device.shortWrite = c.taken;
        m_dwLastError = kStale;
        EXPECT_EQ(WriteCommand(port, "ATZ\n\r"), Hr(c.result));
        EXPECT_EQ(m_dwLastError, 0);
        EXPECT_TRUE(pause.pauses.empty());
    }
    // Exactly the size asked for is no short write.
    device.shortWrite = 5;
    EXPECT_EQ(WriteCommand(port, "ATZ\n\r"), kS_OK);
    EXPECT_EQ(pause.pauses, std::vector<std::uint32_t>{1000});
}

// --- A device that is gone ----------------------------------------------------------------

// What a pulled USB modem answers: EIO, ENXIO, ENODEV on POSIX (1117), 1167 and 22 on Windows,
// 21 under Wine.
constexpr std::int32_t kGone[] = {1117, 1167, 22, 21};

using SerialPortGone = SerialPortTest;

TEST_F(SerialPortGone, AFailedWriteClosesThePortAndTheNextOpenReachesTheDeviceAgain) {
    for (const std::int32_t error : kGone) {
        SCOPED_TRACE(error);
        Reopen();
        portOpen = portInit = 1;
        device.failWrite = error;
        EXPECT_EQ(WriteCommand(port, "AT\n\r"), FoldError(error));
        EXPECT_EQ(m_hPort, kInvalidPort);
        EXPECT_TRUE(device.openHandles.empty());
        EXPECT_EQ(std::pair(portOpen, portInit), std::pair(0, 0));
        EXPECT_NE(failure.Text().find("cannot write to port COM1: "), std::string::npos);
        EXPECT_TRUE(failure.Text().ends_with(
            "; the device is gone, so the port is closed: call Init or TestPort"))
            << failure.Text();

        // A later send writes nothing and says why.
        device.failWrite = 0;
        log.events.clear();
        EXPECT_EQ(WriteCommand(port, "AT\n\r"), kE_HANDLE);
        EXPECT_TRUE(log.events.empty());
        EXPECT_EQ(failure.Text(),
                  "no port is open: port COM1 was closed when its device went away (" +
                      wire::FormatHResult(FoldError(error)) + ": " +
                      wire::DescribeHResult(FoldError(error)) + "): call Init or TestPort");

        // The device is back: an open makes a new handle, and it takes the bytes.
        EXPECT_EQ(OpenPort(port, u"COM1"), kS_OK);
        EXPECT_EQ(m_dwLastError, 0);
        EXPECT_EQ(WriteCommand(port, "AT\n\r"), kS_OK);
        EXPECT_EQ(log.writes.back(), "AT\n\r");
        EXPECT_EQ(device.openHandles, std::vector<PortHandle>{m_hPort});
        ClosePort(port);
    }
}

TEST_F(SerialPortGone, OtherWriteErrorsKeepThePort) {
    // Access denied, a general failure, a time-out: the device is still there.
    for (const std::int32_t error : {5, 31, 1460}) {
        SCOPED_TRACE(error);
        Reopen();
        portOpen = portInit = 1;
        device.failWrite = error;
        EXPECT_EQ(WriteCommand(port, "AT\n\r"), FoldError(error));
        EXPECT_NE(m_hPort, kInvalidPort);
        EXPECT_EQ(std::pair(portOpen, portInit), std::pair(1, 1));
        device.failWrite = 0;
        EXPECT_EQ(WriteCommand(port, "AT\n\r"), kS_OK);
        ClosePort(port);
    }
}

TEST_F(SerialPortGone, AFailedConfigurationClosesThePortToo) {
    std::int32_t* const steps[] = {&device.failGetState, &device.failSetState,
                                   &device.failGetTimeouts, &device.failSetTimeouts};
    for (std::int32_t* const step : steps) {
        for (const std::int32_t error : kGone) {
            SCOPED_TRACE(error);
            Reopen();
            portOpen = portInit = 1;
            *step = error;
            EXPECT_EQ(ConfigurePort(port, 460800, 8, 0, 0, 1, 0), FoldError(error));
            *step = 0;
            EXPECT_EQ(m_dwLastError, error);
            EXPECT_EQ(m_hPort, kInvalidPort);
            EXPECT_TRUE(device.openHandles.empty());
            EXPECT_EQ(std::pair(portOpen, portInit), std::pair(0, 0));
            EXPECT_NE(failure.Text().find("cannot configure port COM1"), std::string::npos);
        }
    }
    // The device went away between the open and its default configuration.
    device.failDefaultConfig = 1167;
    m_hPort = kInvalidPort;
    EXPECT_EQ(OpenPort(port, u"COM1"), FoldError(1167));
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_TRUE(device.openHandles.empty());
}

TEST_F(SerialPortGone, TheHandleIsDroppedEvenWhenItsCloseFails) {
    // Kept, a dead handle would make every later open find the port "open already".
    Reopen();
    device.failWrite = 1117;
    device.failClose = 1117;
    EXPECT_EQ(WriteCommand(port, "AT\n\r"), FoldError(1117));
    EXPECT_EQ(m_hPort, kInvalidPort);
    device.failWrite = device.failClose = 0;
    log.events.clear();
    EXPECT_EQ(OpenPort(port, u"COM1"), kS_OK);
    EXPECT_EQ(log.events, (Events{"open COM1", "default-config COM1"}));
}

// --- ClosePort ------------------------------------------------------------------------------

using SerialPortClose = SerialPortTest;

TEST_F(SerialPortClose, FailedCloseKeepsTheHandleUntilACloseSucceeds) {
    Reopen();
    const PortHandle handle = m_hPort;
    device.failClose = 5;
    EXPECT_EQ(ClosePort(port), Hr(0x80070005u));
    EXPECT_EQ(m_dwLastError, static_cast<std::int32_t>(0x80070005u));  // folded, unlike the rest
    EXPECT_EQ(m_hPort, handle);
    // The port still counts as open.
    EXPECT_EQ(OpenPort(port, u"COM1"), kS_OK);
    EXPECT_EQ(m_dwLastError, 1247);
    EXPECT_EQ(m_hPort, handle);

    device.failClose = 0;
    EXPECT_EQ(ClosePort(port), kS_OK);
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_EQ(std::pair(portOpen, portInit), std::pair(0, 0));  // the status says closed
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_TRUE(device.openHandles.empty());
    // Closed means closed: the port layer refuses to write.
    EXPECT_EQ(WriteCommand(port, "AT"), kE_HANDLE);
}

}  // namespace
}  // namespace merel
