#include "port/serial_port.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "base/narrow.h"
#include "interface/hresult_text.h"
#include "sms/rules.h"

namespace merel {

// POSIX backends report EIO, ENXIO and ENODEV (a pulled USB modem, a pseudo terminal whose
// other side has closed) as 1117; Windows drivers of a removed device answer 1167 or 22, and
// Wine turns the EIO of such a port into 21 (not ready).
constexpr std::int32_t kDeviceGoneErrors[] = {win32::kIoDevice, win32::kDeviceNotConnected,
                                              win32::kBadCommand, win32::kNotReady};

bool DeviceGone(std::int32_t error) {
    return std::ranges::find(kDeviceGoneErrors, error) != std::end(kDeviceGoneErrors);
}

namespace {

// The six flow-control fields for handshake codes 0 (off), 1 (hardware) and 2 (software).
struct FlowControl {
    std::uint32_t outxCtsFlow, outxDsrFlow, dtrControl, outX, inX, rtsControl;
};
constexpr FlowControl kFlowControl[] = {
    {0, 0, kDtrControlDisable, 0, 0, kRtsControlDisable},
    {1, 1, kDtrControlHandshake, 0, 0, kRtsControlHandshake},
    {0, 0, kDtrControlDisable, 1, 1, kRtsControlDisable},
};

HRESULT Fail(const PortLayer& port, std::int32_t error) {
    port.m_dwLastError = error;
    return FoldError(error);
}

bool Missing(HRESULT hr) {
    return hr == hresult::kFileNotFound || hr == hresult::kPathNotFound;
}

// "(0x80070002: not found)": the code behind a port that is not open, for a later message.
std::string Cause(HRESULT hr, const std::string& words) {
    // Appended piece by piece: GCC 12 warns falsely (restrict) on "(" + std::string here.
    std::string text = wire::FormatHResult(hr);
    text.insert(0, 1, '(');
    text.append(": ").append(words).push_back(')');
    return text;
}

// Why a port could not be used, in the words a user of the device would look for.
std::string PortReason(HRESULT hr) {
    if (Missing(hr)) return "no such device";
    if (hr == hresult::kAccessDenied) return "access denied (no permission to use the device)";
    if (hr == hresult::kSharingViolation) return "in use by another program";
    return wire::DescribeHResult(hr);
}

HRESULT Record(const PortLayer& port, HRESULT hr, const char* step, const std::u16string& name) {
    port.failure = {hr, step + Utf16ToUtf8(name), PortReason(hr), {}};
    return hr;
}

// `why` is the device's own account, such as which process holds the port; it follows the
// reason in parentheses.
HRESULT OpenFailed(const PortLayer& port, std::int32_t error, const std::u16string& name,
                   const std::string& why) {
    const HRESULT hr = Fail(port, error);
    if (name.empty()) {
        port.failure = {hr, "no port is set", {}, advice::kNamePort};
        port.openFailure = port.failure;
        return hr;
    }
    Record(port, hr, "cannot open port ", name);
    if (!why.empty()) port.failure.detail.append(" (").append(why).push_back(')');
    port.openFailure = {hr,
                        "port " + Utf16ToUtf8(name) + " could not be opened " +
                            Cause(hr, Missing(hr) ? "not found" : wire::DescribeHResult(hr)),
                        why,
                        {}};
    return hr;
}

// After a device call failed with `error`: a device that is gone takes no more calls on its
// handle, so the handle is closed and the failure of the operation says so.
void CloseIfGone(const PortLayer& port, std::int32_t error) {
    if (!DeviceGone(error) || port.m_hPort == kInvalidPort) return;
    port.device.Close(port.m_hPort);
    port.m_hPort = kInvalidPort;
    port.portOpen = 0;
    port.portInit = 0;
    const HRESULT hr = FoldError(error);
    port.failure.detail += "; the device is gone, so the port is closed";
    port.failure.advice = advice::kOpenPort;
    port.openFailure = {hr,
                        "port " + Utf16ToUtf8(port.openName) +
                            " was closed when its device went away " +
                            Cause(hr, wire::DescribeHResult(hr)),
                        {},
                        advice::kOpenPort};
}

// A port operation without an open port: says why, where the last open failed.
HRESULT NotOpen(const PortLayer& port, HRESULT hr) {
    if (port.openFailure.Empty()) {
        port.failure = {hr, "no port is open", {}, advice::kOpenPort};
    } else {
        port.failure = {hr, "no port is open", port.openFailure.Text(), {}};
    }
    return hr;
}

}  // namespace

std::uint32_t WriteTimeoutMultiplierMs(std::uint32_t baudrate) {
    constexpr std::uint64_t kBitMsPerByte = 10 * 1000;  // 10 bits (start, 8 data, stop), in ms
    // Rounded up, so at least 1 ms at any rate; a rate of 0 carries no byte time of its own
    // and gets that smallest one. 64 bits, so that rounding up cannot overflow.
    const std::uint64_t byteMs = baudrate == 0 ? 1 : (kBitMsPerByte + baudrate - 1) / baudrate;
    return static_cast<std::uint32_t>(2 * byteMs);
}

HRESULT OpenPort(const PortLayer& port, const std::u16string& name) {
    port.m_dwLastError = 0;
    if (port.m_hPort != kInvalidPort) {
        // The port in use stays; the caller learns only that it was open already.
        port.m_dwLastError = win32::kAlreadyInitialized;
        return kS_OK;
    }
    PortHandle handle = kInvalidPort;
    std::string why;
    const std::int32_t openError = port.device.Open(name, handle, why);
    if (openError != 0 || handle == kInvalidPort) {
        port.m_hPort = kInvalidPort;
        return OpenFailed(port, openError != 0 ? openError : win32::kInvalidHandle, name, why);
    }
    port.m_hPort = handle;
    port.openName = name;
    port.openFailure = {};
    port.cancelOwed = 1;
    port.line = {};
    // From here on the handle stays open whatever happens: a later OpenPort finds it in use,
    // and a configuration may still succeed on it.
    if (const std::int32_t e = port.device.ApplyDefaultConfig(name, handle); e != 0) {
        Record(port, Fail(port, e), "cannot configure port ", name);
        CloseIfGone(port, e);
        return FoldError(e);
    }
    return kS_OK;
}

HRESULT ConfigurePort(const PortLayer& port, std::uint32_t baudrate, std::int32_t dataBits,
                      std::int32_t parity, std::int32_t stopBits, std::int32_t handshake,
                      std::int32_t readTimeout) {
    port.m_dwLastError = 0;
    if (port.m_hPort == kInvalidPort) return NotOpen(port, Fail(port, win32::kInvalidHandle));
    const auto fail = [&port](std::int32_t e) {
        Record(port, Fail(port, e), "cannot configure port ", port.openName);
        CloseIfGone(port, e);
        return FoldError(e);
    };

    CommState state;
    if (const std::int32_t e = port.device.GetState(port.m_hPort, state); e != 0) {
        return fail(e);
    }
    state.BaudRate = baudrate;
    state.ByteSize = static_cast<std::uint8_t>(dataBits);
    state.Parity = static_cast<std::uint8_t>(parity);
    state.StopBits = static_cast<std::uint8_t>(stopBits);
    state.fParity = parity != 0 ? 1 : 0;
    // An unknown handshake code is no error: the device keeps its flow control.
    if (handshake >= 0 && handshake < static_cast<std::int32_t>(std::size(kFlowControl))) {
        const FlowControl& flow = kFlowControl[handshake];
        state.fOutxCtsFlow = flow.outxCtsFlow;
        state.fOutxDsrFlow = flow.outxDsrFlow;
        state.fDtrControl = flow.dtrControl;
        state.fOutX = flow.outX;
        state.fInX = flow.inX;
        state.fRtsControl = flow.rtsControl;
    }
    if (const std::int32_t e = port.device.SetState(port.m_hPort, state); e != 0) {
        return fail(e);
    }

    CommTimeouts timeouts;
    if (const std::int32_t e = port.device.GetTimeouts(port.m_hPort, timeouts); e != 0) {
        return fail(e);
    }
    // The mode is checked only now, so the line settings above are already in force.
    switch (readTimeout) {
        case 0:
            timeouts.ReadIntervalTimeout = kMaxDword;
            break;
        case 1:
            timeouts.ReadIntervalTimeout = 0;
            break;
        default:
            port.m_dwLastError = kE_INVALIDARG;
            port.failure = {kE_INVALIDARG,
                            "cannot configure port " + Utf16ToUtf8(port.openName),
                            "read-timeout mode " + std::to_string(readTimeout) +
                                " is neither 0 (nonblocking) nor 1 (blocking)",
                            {}};
            return kE_INVALIDARG;
    }
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    // A port without a write limit gets one; a limit set by someone else is theirs to keep.
    if (timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0) {
        timeouts.WriteTotalTimeoutMultiplier = WriteTimeoutMultiplierMs(baudrate);
        timeouts.WriteTotalTimeoutConstant = kWriteTimeoutConstantMs;
    }
    if (const std::int32_t e = port.device.SetTimeouts(port.m_hPort, timeouts); e != 0) {
        return fail(e);
    }
    return kS_OK;
}

namespace {

// Reads everything the modem has sent so far into the line's parser. A read that fails is left
// for the next write to find: the answers are only ever an addition to what is written.
void Hear(const PortLayer& port) {
    if (port.m_hPort == kInvalidPort) return;
    char buffer[512];
    for (;;) {
        std::size_t got = 0;
        if (port.device.ReadWaiting(port.m_hPort, buffer, sizeof buffer, got) != 0 || got == 0) {
            return;
        }
        for (modem::AnswerEvent& event : port.line.parser.Feed(std::string_view(buffer, got))) {
            port.line.heard.push_back(std::move(event));
        }
    }
}

bool FinalHeard(const PortLayer& port) {
    return std::ranges::any_of(port.line.heard, modem::IsFinalResult);
}

// One write of the bytes and the wait after it, reading the modem's answers: the whole
// `milliseconds`, or until a final result when `untilFinal`. A failed or short write says why.
HRESULT WriteAndListen(const PortLayer& port, std::string_view bytes, std::uint32_t milliseconds,
                       bool untilFinal) {
    std::size_t written = 0;
    const std::int32_t e = port.device.Write(port.m_hPort, bytes.data(), bytes.size(), written);
    if (e != 0 || written < bytes.size()) {
        // Reported through the result alone; the last error stays clear.
        const HRESULT hr = FoldError(e != 0 ? e : win32::kWriteFault);
        std::string detail = wire::DescribeHResult(hr);
        if (written > 0 || e == 0) {
            detail += ": the port took " + std::to_string(written) + " of " +
                      std::to_string(bytes.size()) + " bytes";
        }
        port.failure = {hr, "cannot write to port " + Utf16ToUtf8(port.openName), detail, {}};
        CloseIfGone(port, e);
        return hr;
    }
    if (bytes == std::string_view(&kEsc, 1)) {
        port.line.parser.LineDropped();
        port.line.resetOnLine = false;
    } else {
        port.line.parser.Wrote(bytes);
    }
    port.pause.Listen(milliseconds, [&port, untilFinal] {
        Hear(port);
        return untilFinal && FinalHeard(port);
    });
    return kS_OK;
}

// Writes the ESC when one is owed; not taken, it stays owed and the failure says why.
HRESULT WriteOwedCancel(const PortLayer& port) {
    if (port.cancelOwed == 0 || port.m_hPort == kInvalidPort) return kS_OK;
    const HRESULT hr = WriteAndListen(port, std::string_view(&kEsc, 1), kCommandPauseMs, false);
    if (hr == kS_OK) port.cancelOwed = 0;
    return hr;
}

HRESULT WriteLine(const PortLayer& port, std::string_view command, std::uint32_t milliseconds,
                  bool untilFinal) {
    port.m_dwLastError = 0;
    if (port.m_hPort == kInvalidPort) return NotOpen(port, Fail(port, win32::kInvalidHandle));

    // Whatever followed now would become the open message's body, sent to its recipient.
    if (const HRESULT hr = WriteOwedCancel(port); hr != kS_OK) {
        port.failure.detail.insert(
            0, "an earlier message is still open on the modem and could not be cancelled: ");
        return hr;
    }
    // What the modem said to the ESC is no answer to the command.
    port.line.heard.clear();
    // The command is a NUL-terminated string: nothing from its first NUL on is sent.
    return WriteAndListen(port, command.substr(0, std::min(command.size(), command.find('\0'))),
                          milliseconds, untilFinal);
}

}  // namespace

HRESULT SettleOwedCancel(const PortLayer& port) {
    const HRESULT hr = WriteOwedCancel(port);
    if (hr != kS_OK && port.m_hPort == kInvalidPort) return hr;
    port.failure = {};
    return kS_OK;
}

void CancelMessage(const PortLayer& port) {
    port.cancelOwed = 1;
    // A port closed by the failure itself owes nothing: its next open owes anew.
    if (port.m_hPort == kInvalidPort) return;
    Failure send = port.failure;
    if (WriteOwedCancel(port) == kS_OK) {
        send.detail += "; the message was cancelled (ESC)";
    } else {
        send.detail += "; the message could not be cancelled (" + port.failure.detail +
                       "), so it stays open on the modem until a later write cancels it";
        if (port.m_hPort == kInvalidPort) send.advice = advice::kOpenPort;
    }
    port.failure = std::move(send);
}

HRESULT WriteCommand(const PortLayer& port, std::string_view command) {
    return WriteLine(port, command, kCommandPauseMs, false);
}

HRESULT WriteQuery(const PortLayer& port, std::string_view command, std::uint32_t milliseconds) {
    return WriteLine(port, command, milliseconds, true);
}

void AwaitFinalResult(const PortLayer& port, std::uint32_t milliseconds) {
    if (port.m_hPort == kInvalidPort || FinalHeard(port)) return;
    port.pause.Listen(milliseconds, [&port] {
        Hear(port);
        return FinalHeard(port);
    });
}

void SkipWaiting(const PortLayer& port) {
    Hear(port);
    port.line.heard.clear();
}

std::vector<modem::AnswerEvent> TakeAnswers(const PortLayer& port) {
    return std::exchange(port.line.heard, {});
}

HRESULT ClosePort(const PortLayer& port) {
    port.m_dwLastError = 0;
    if (port.m_hPort == kInvalidPort) return kS_OK;
    if (const std::int32_t e = port.device.Close(port.m_hPort); e != 0) {
        // Unlike the other operations, the folded value is what is kept.
        const HRESULT result = FoldError(e);
        port.m_dwLastError = result;
        return result;
    }
    port.m_hPort = kInvalidPort;
    port.portOpen = 0;
    port.portInit = 0;
    return kS_OK;
}

HRESULT TestPort(const PortLayer& port, const std::u16string& name, std::uint32_t baudrate) {
    ClosePort(port);
    port.portOpen = 0;
    port.portInit = 0;
    OpenPort(port, name);
    // The handle decides, not the result: a handle that is open after the open, whether
    // cleanly, without its default configuration, or still open because it could not be
    // closed, is tested further. Without one there is nothing to test, whatever the error
    // (even 1247, which a device may answer an open with).
    if (port.m_hPort == kInvalidPort) return FoldError(port.m_dwLastError);
    port.portOpen = 1;
    if (ConfigurePort(port, baudrate, kFixedLine.dataBits, kFixedLine.parity, kFixedLine.stopBits,
                      kFixedLine.handshake, kFixedLine.readTimeout) == kS_OK) {
        port.portInit = 1;
        return SettleOwedCancel(port);
    }
    return FoldError(port.m_dwLastError);
}

}  // namespace merel
