// The four port operations over the fake device: results, the last error left behind, which
// device calls happen in which order, and what reaches the device control block.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fakes.h"
#include "port/serial_port.h"

namespace merel {
namespace {

using test::EventLog;
using test::FakeSerialDevice;
using test::RecordingPause;
using Events = std::vector<std::string>;

constexpr std::int32_t kStale = 4711;  // left by some earlier operation

class SerialPortTest : public ::testing::Test {
  protected:
    void OpenCom1() {
        ASSERT_EQ(OpenPort(port, u"COM1"), kS_OK);
        log.events.clear();
    }

    EventLog log;
    FakeSerialDevice device{log};
    RecordingPause pause{log};
    PortHandle m_hPort = kInvalidPort;
    std::int32_t m_dwLastError = kStale;
    PortLayer port{device, pause, m_hPort, m_dwLastError};
};

// A device control block whose every field has a value of its own, so that a field changed by
// mistake shows.
CommState DistinctState() {
    CommState s;
    s.DCBlength = 28;
    s.BaudRate = 9600;
    s.fBinary = 1;
    s.fParity = 0;
    s.fOutxCtsFlow = 1;
    s.fOutxDsrFlow = 0;
    s.fDtrControl = 1;
    s.fDsrSensitivity = 1;
    s.fTXContinueOnXoff = 1;
    s.fOutX = 1;
    s.fInX = 0;
    s.fErrorChar = 1;
    s.fNull = 1;
    s.fRtsControl = 3;
    s.fAbortOnError = 1;
    s.fDummy2 = 0x155;
    s.wReserved = 7;
    s.XonLim = 2048;
    s.XoffLim = 512;
    s.ByteSize = 7;
    s.Parity = 2;
    s.StopBits = 2;
    s.XonChar = 0x11;
    s.XoffChar = 0x13;
    s.ErrorChar = '?';
    s.EofChar = 0x1A;
    s.EvtChar = '!';
    s.wReserved1 = 9;
    return s;
}

// --- OpenPort -------------------------------------------------------------------------------

using SerialPortOpen = SerialPortTest;

TEST_F(SerialPortOpen, OpensAndAppliesTheDefaultConfigurationByName) {
    EXPECT_EQ(OpenPort(port, u"COM1"), kS_OK);
    EXPECT_NE(m_hPort, kInvalidPort);
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_EQ(log.events, (Events{"open COM1", "default-config COM1"}));
}

TEST_F(SerialPortOpen, SecondOpenKeepsTheOpenPortAndReports1247) {
    OpenCom1();
    const PortHandle first = m_hPort;
    // Another name changes nothing: names are not compared.
    EXPECT_EQ(OpenPort(port, u"COM9"), kS_OK);
    EXPECT_EQ(m_hPort, first);
    EXPECT_EQ(m_dwLastError, 1247);
    EXPECT_TRUE(log.events.empty());
    EXPECT_EQ(device.openCount, 1);
}

TEST_F(SerialPortOpen, FailedOpenLeavesNoHandleAndTheRawError) {
    struct Case {
        std::int32_t error;
        HRESULT result;
    };
    // 1200 is what a backend reports for something that opened but is no character device.
    for (const Case& c :
         {Case{2, static_cast<HRESULT>(0x80070002u)}, Case{5, static_cast<HRESULT>(0x80070005u)},
          Case{32, static_cast<HRESULT>(0x80070020u)},
          Case{1200, static_cast<HRESULT>(0x800704B0u)},
          Case{0x12345, static_cast<HRESULT>(0x80072345u)}}) {
        SCOPED_TRACE(c.error);
        log.events.clear();
        device.failOpen = c.error;
        m_dwLastError = kStale;
        EXPECT_EQ(OpenPort(port, u"COM1"), c.result);
        EXPECT_EQ(m_hPort, kInvalidPort);
        EXPECT_EQ(m_dwLastError, c.error);
        EXPECT_EQ(log.events, Events{"open COM1"});  // no default configuration
    }
}

TEST_F(SerialPortOpen, MissingPortNameGivesFileNotFound) {
    EXPECT_EQ(OpenPort(port, u"COM3"), static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_EQ(m_dwLastError, 2);
}

TEST_F(SerialPortOpen, FailedDefaultConfigurationKeepsTheHandleOpen) {
    device.failDefaultConfig = 87;
    EXPECT_EQ(OpenPort(port, u"COM1"), static_cast<HRESULT>(0x80070057u));
    EXPECT_EQ(m_dwLastError, 87);
    ASSERT_NE(m_hPort, kInvalidPort);
    EXPECT_EQ(device.openHandles, std::vector<PortHandle>{m_hPort});

    // The handle counts as an open port from now on.
    const PortHandle kept = m_hPort;
    EXPECT_EQ(OpenPort(port, u"COM1"), kS_OK);
    EXPECT_EQ(m_dwLastError, 1247);
    EXPECT_EQ(m_hPort, kept);
    EXPECT_EQ(device.openCount, 1);
}

// --- ConfigurePort --------------------------------------------------------------------------

using SerialPortConfigure = SerialPortTest;

TEST_F(SerialPortConfigure, WithoutPortFailsWithInvalidHandleAndNoDeviceCall) {
    EXPECT_EQ(ConfigurePort(port, 460800, 8, 0, 0, 1, 0), kE_HANDLE);
    EXPECT_EQ(static_cast<std::uint32_t>(kE_HANDLE), 0x80070006u);
    EXPECT_EQ(m_dwLastError, 6);
    EXPECT_TRUE(log.events.empty());
}

TEST_F(SerialPortConfigure, SetsLineAndFlowFieldsAndKeepsEveryOtherField) {
    device.state = DistinctState();
    OpenCom1();
    m_dwLastError = kStale;

    EXPECT_EQ(ConfigurePort(port, 460800, 8, 0, 0, 1, 0), kS_OK);
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_EQ(log.events, (Events{"get-state", "set-state", "get-timeouts", "set-timeouts"}));

    CommState expected = DistinctState();
    expected.BaudRate = 460800;
    expected.ByteSize = 8;
    expected.Parity = 0;
    expected.StopBits = 0;
    expected.fParity = 0;
    expected.fOutxCtsFlow = 1;
    expected.fOutxDsrFlow = 1;
    expected.fDtrControl = kDtrControlHandshake;
    expected.fOutX = 0;
    expected.fInX = 0;
    expected.fRtsControl = kRtsControlHandshake;
    EXPECT_EQ(device.state, expected);
}

TEST_F(SerialPortConfigure, TakesTheWholeBaudRateAndTheLowByteOfTheLineCodes) {
    OpenCom1();
    EXPECT_EQ(ConfigurePort(port, 0xFFFFFFFFu, 0x107, 0x201, 0x302, 1, 0), kS_OK);
    EXPECT_EQ(device.state.BaudRate, 0xFFFFFFFFu);
    EXPECT_EQ(device.state.ByteSize, 7);
    EXPECT_EQ(device.state.Parity, 1);
    EXPECT_EQ(device.state.StopBits, 2);

    EXPECT_EQ(ConfigurePort(port, 300, -1, 0, 1, 1, 0), kS_OK);
    EXPECT_EQ(device.state.ByteSize, 0xFF);
    EXPECT_EQ(device.state.StopBits, 1);
}

TEST_F(SerialPortConfigure, ParityCheckIsOnExactlyWhenTheParityCodeIsNotZero) {
    struct Case {
        std::int32_t parity;
        std::uint32_t fParity;
        std::uint8_t field;
    };
    // 256 has a low byte of 0 yet is a code other than 0.
    for (const Case& c : {Case{0, 0, 0}, Case{1, 1, 1}, Case{2, 1, 2}, Case{3, 1, 3},
                          Case{256, 1, 0}, Case{-1, 1, 0xFF}}) {
        SCOPED_TRACE(c.parity);
        CommState start = DistinctState();
        start.fParity = c.fParity == 0 ? 1 : 0;
        device.state = start;
        m_hPort = kInvalidPort;
        OpenCom1();
        EXPECT_EQ(ConfigurePort(port, 9600, 8, c.parity, 0, 1, 0), kS_OK);
        EXPECT_EQ(device.state.fParity, c.fParity);
        EXPECT_EQ(device.state.Parity, c.field);
    }
}

struct FlowCase {
    std::int32_t handshake;
    std::uint32_t cts, dsr, dtr, outX, inX, rts;
};

class SerialPortFlowControl : public SerialPortTest,
                              public ::testing::WithParamInterface<FlowCase> {};

TEST_P(SerialPortFlowControl, SetsTheSixFlowFieldsByHandshakeCode) {
    const FlowCase c = GetParam();
    device.state = DistinctState();
    OpenCom1();
    EXPECT_EQ(ConfigurePort(port, 9600, 8, 0, 0, c.handshake, 0), kS_OK);
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_EQ(device.state.fOutxCtsFlow, c.cts);
    EXPECT_EQ(device.state.fOutxDsrFlow, c.dsr);
    EXPECT_EQ(device.state.fDtrControl, c.dtr);
    EXPECT_EQ(device.state.fOutX, c.outX);
    EXPECT_EQ(device.state.fInX, c.inX);
    EXPECT_EQ(device.state.fRtsControl, c.rts);
    // Flow control touches nothing else.
    EXPECT_EQ(device.state.fDsrSensitivity, 1u);
    EXPECT_EQ(device.state.fTXContinueOnXoff, 1u);
    EXPECT_EQ(device.state.XonChar, 0x11);
}

// An unknown code is no error and leaves the device's flow fields (1, 0, 1, 1, 0, 3) as read.
INSTANTIATE_TEST_SUITE_P(SerialPortHandshakeCodes, SerialPortFlowControl,
                         ::testing::Values(FlowCase{0, 0, 0, 0, 0, 0, 0},
                                           FlowCase{1, 1, 1, 2, 0, 0, 2},
                                           FlowCase{2, 0, 0, 0, 1, 1, 0},
                                           FlowCase{3, 1, 0, 1, 1, 0, 3},
                                           FlowCase{-1, 1, 0, 1, 1, 0, 3}),
                         [](const auto& info) {
                             return info.param.handshake < 0
                                        ? std::string("Minus1")
                                        : "Code" + std::to_string(info.param.handshake);
                         });

TEST_F(SerialPortConfigure, ReadModesSetTheIntervalAndClearTheReadTotalsOnly) {
    const CommTimeouts start{5, 6, 7, 8, 9};
    device.timeouts = start;
    OpenCom1();
    EXPECT_EQ(ConfigurePort(port, 9600, 8, 0, 0, 1, 0), kS_OK);
    EXPECT_EQ(device.timeouts, (CommTimeouts{kMaxDword, 0, 0, 8, 9}));

    device.timeouts = start;
    EXPECT_EQ(ConfigurePort(port, 9600, 8, 0, 0, 1, 1), kS_OK);
    EXPECT_EQ(device.timeouts, (CommTimeouts{0, 0, 0, 8, 9}));
}

TEST_F(SerialPortConfigure, UnknownReadModeFailsAfterTheLineSettingsAreApplied) {
    for (std::int32_t mode : {2, -1}) {
        SCOPED_TRACE(mode);
        device.state = DistinctState();
        device.timeouts = CommTimeouts{5, 6, 7, 8, 9};
        m_hPort = kInvalidPort;
        OpenCom1();
        EXPECT_EQ(ConfigurePort(port, 115200, 8, 1, 0, 0, mode), kE_INVALIDARG);
        // Stored as the HRESULT itself, not as a Win32 number.
        EXPECT_EQ(m_dwLastError, static_cast<std::int32_t>(0x80070057u));
        EXPECT_EQ(log.events, (Events{"get-state", "set-state", "get-timeouts"}));
        EXPECT_EQ(device.state.BaudRate, 115200u);
        EXPECT_EQ(device.state.ByteSize, 8);
        EXPECT_EQ(device.state.Parity, 1);
        EXPECT_EQ(device.state.StopBits, 0);
        EXPECT_EQ(device.state.fOutxCtsFlow, 0u);
        EXPECT_EQ(device.state.fRtsControl, kRtsControlDisable);
        EXPECT_EQ(device.timeouts, (CommTimeouts{5, 6, 7, 8, 9}));
    }
}

TEST_F(SerialPortConfigure, FailingDeviceCallStopsAtOnceWithTheRawError) {
    struct Case {
        const char* name;
        std::int32_t FakeSerialDevice::*fail;
        Events events;
    };
    const Case cases[] = {
        {"get-state", &FakeSerialDevice::failGetState, {"get-state"}},
        {"set-state", &FakeSerialDevice::failSetState, {"get-state", "set-state"}},
        {"get-timeouts",
         &FakeSerialDevice::failGetTimeouts,
         {"get-state", "set-state", "get-timeouts"}},
        {"set-timeouts",
         &FakeSerialDevice::failSetTimeouts,
         {"get-state", "set-state", "get-timeouts", "set-timeouts"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EventLog caseLog;
        FakeSerialDevice failing(caseLog);
        failing.timeouts = CommTimeouts{5, 6, 7, 8, 9};
        failing.*(c.fail) = 31;
        PortHandle handle = kInvalidPort;
        std::int32_t lastError = kStale;
        const PortLayer layer{failing, pause, handle, lastError};
        ASSERT_EQ(OpenPort(layer, u"COM1"), kS_OK);
        caseLog.events.clear();

        EXPECT_EQ(ConfigurePort(layer, 460800, 8, 0, 0, 1, 0), static_cast<HRESULT>(0x8007001Fu));
        EXPECT_EQ(lastError, 31);
        EXPECT_EQ(caseLog.events, c.events);
        EXPECT_NE(handle, kInvalidPort);
        if (c.fail != &FakeSerialDevice::failSetTimeouts) {
            EXPECT_EQ(failing.timeouts, (CommTimeouts{5, 6, 7, 8, 9}));
        }
    }
}

TEST_F(SerialPortConfigure, TimeoutReadFailureWinsOverAnUnknownReadMode) {
    device.failGetTimeouts = 5;
    OpenCom1();
    EXPECT_EQ(ConfigurePort(port, 9600, 8, 0, 0, 1, 2), static_cast<HRESULT>(0x80070005u));
    EXPECT_EQ(m_dwLastError, 5);
}

// --- WriteCommand ---------------------------------------------------------------------------

using SerialPortWrite = SerialPortTest;

TEST_F(SerialPortWrite, WithoutPortFailsWithInvalidHandleNoWriteNoPause) {
    EXPECT_EQ(WriteCommand(port, "AT\n\r"), kE_HANDLE);
    EXPECT_EQ(m_dwLastError, 6);
    EXPECT_EQ(device.writeCount, 0);
    EXPECT_TRUE(pause.pauses.empty());
}

TEST_F(SerialPortWrite, WritesTheBytesOnceThenPausesOneSecond) {
    OpenCom1();
    const std::string command = "AT+CMGF=1\n\r\x80\xFF";
    EXPECT_EQ(WriteCommand(port, command), kS_OK);
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_EQ(log.events, (Events{"write " + command, "pause 1000"}));
}

TEST_F(SerialPortWrite, SendsOnlyWhatPrecedesTheFirstNul) {
    OpenCom1();
    EXPECT_EQ(WriteCommand(port, std::string_view("AT\0XYZ", 6)), kS_OK);
    EXPECT_EQ(log.writes, std::vector<std::string>{"AT"});
}

TEST_F(SerialPortWrite, EmptyTextWritesNothingButStillPauses) {
    OpenCom1();
    EXPECT_EQ(WriteCommand(port, ""), kS_OK);
    EXPECT_EQ(device.writeCount, 1);
    EXPECT_EQ(log.writes, std::vector<std::string>{""});
    EXPECT_EQ(pause.pauses, std::vector<std::uint32_t>{1000});
}

TEST_F(SerialPortWrite, FailedWriteReturnsAtOnceAndLeavesNoLastError) {
    OpenCom1();
    device.failWrite = 1117;
    m_dwLastError = kStale;
    EXPECT_EQ(WriteCommand(port, "ATZ\n\r"), static_cast<HRESULT>(0x8007045Du));
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_TRUE(pause.pauses.empty());
}

TEST_F(SerialPortWrite, ShortWriteIsAWriteFaultWithoutPause) {
    OpenCom1();
    for (std::size_t taken : {std::size_t{0}, std::size_t{4}}) {
        SCOPED_TRACE(taken);
        device.shortWrite = taken;
        m_dwLastError = kStale;
        EXPECT_EQ(WriteCommand(port, "ATZ\n\r"), static_cast<HRESULT>(0x8007001Du));
        EXPECT_EQ(m_dwLastError, 0);
        EXPECT_TRUE(pause.pauses.empty());
    }
    // Exactly the size asked for is no short write.
    device.shortWrite = 5;
    EXPECT_EQ(WriteCommand(port, "ATZ\n\r"), kS_OK);
    EXPECT_EQ(pause.pauses, std::vector<std::uint32_t>{1000});
}

// --- ClosePort ------------------------------------------------------------------------------

using SerialPortClose = SerialPortTest;

TEST_F(SerialPortClose, ClosesTheOpenPort) {
    OpenCom1();
    m_dwLastError = kStale;
    EXPECT_EQ(ClosePort(port), kS_OK);
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_TRUE(device.openHandles.empty());
    // Closed means closed: the port layer refuses to write.
    EXPECT_EQ(WriteCommand(port, "AT"), kE_HANDLE);
}

TEST_F(SerialPortClose, WithoutPortSucceedsWithoutDeviceCall) {
    EXPECT_EQ(ClosePort(port), kS_OK);
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_TRUE(log.events.empty());
}

TEST_F(SerialPortClose, FailedCloseKeepsTheHandleAndStoresTheFoldedError) {
    OpenCom1();
    const PortHandle handle = m_hPort;
    device.failClose = 5;
    EXPECT_EQ(ClosePort(port), static_cast<HRESULT>(0x80070005u));
    EXPECT_EQ(m_dwLastError, static_cast<std::int32_t>(0x80070005u));
    EXPECT_EQ(m_hPort, handle);
    // The port still counts as open.
    EXPECT_EQ(OpenPort(port, u"COM1"), kS_OK);
    EXPECT_EQ(m_dwLastError, 1247);
    EXPECT_EQ(m_hPort, handle);
}

}  // namespace
}  // namespace merel
