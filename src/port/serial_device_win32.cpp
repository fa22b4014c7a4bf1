// The serial device on Windows: the communication functions themselves, with the device
// control block copied field by field between the platform's bit fields and CommState.
#include <windows.h>

#include <algorithm>

#include "port/port_names.h"
#include "port/serial_device.h"

namespace merel {

namespace {

static_assert(sizeof(COMMCONFIG) == 52, "the default configuration has no room for more");

HANDLE ToHandle(PortHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// The error of the call that just failed. A failure must never read as success, so a call that
// leaves no error behind counts as a general failure.
std::int32_t LastError() {
    const DWORD e = GetLastError();
    return e != 0 ? static_cast<std::int32_t>(e) : static_cast<std::int32_t>(ERROR_GEN_FAILURE);
}

CommState FromDcb(const DCB& d) {
    CommState s;
    s.DCBlength = d.DCBlength;
    s.BaudRate = d.BaudRate;
    s.fBinary = d.fBinary;
    s.fParity = d.fParity;
    s.fOutxCtsFlow = d.fOutxCtsFlow;
    s.fOutxDsrFlow = d.fOutxDsrFlow;
    s.fDtrControl = d.fDtrControl;
    s.fDsrSensitivity = d.fDsrSensitivity;
    s.fTXContinueOnXoff = d.fTXContinueOnXoff;
    s.fOutX = d.fOutX;
    s.fInX = d.fInX;
    s.fErrorChar = d.fErrorChar;
    s.fNull = d.fNull;
    s.fRtsControl = d.fRtsControl;
    s.fAbortOnError = d.fAbortOnError;
    s.fDummy2 = d.fDummy2;
    s.wReserved = d.wReserved;
    s.XonLim = d.XonLim;
    s.XoffLim = d.XoffLim;
    s.ByteSize = d.ByteSize;
    s.Parity = d.Parity;
    s.StopBits = d.StopBits;
    s.XonChar = d.XonChar;
    s.XoffChar = d.XoffChar;
    s.ErrorChar = d.ErrorChar;
    s.EofChar = d.EofChar;
    s.EvtChar = d.EvtChar;
    s.wReserved1 = d.wReserved1;
    return s;
}

DCB ToDcb(const CommState& s) {
    DCB d{};
    d.DCBlength = s.DCBlength;
    d.BaudRate = s.BaudRate;
    d.fBinary = s.fBinary;
    d.fParity = s.fParity;
    d.fOutxCtsFlow = s.fOutxCtsFlow;
    d.fOutxDsrFlow = s.fOutxDsrFlow;
    d.fDtrControl = s.fDtrControl;
    d.fDsrSensitivity = s.fDsrSensitivity;
    d.fTXContinueOnXoff = s.fTXContinueOnXoff;
    d.fOutX = s.fOutX;
    d.fInX = s.fInX;
    d.fErrorChar = s.fErrorChar;
    d.fNull = s.fNull;
    d.fRtsControl = s.fRtsControl;
    d.fAbortOnError = s.fAbortOnError;
    d.fDummy2 = s.fDummy2;
    d.wReserved = s.wReserved;
    d.XonLim = s.XonLim;
    d.XoffLim = s.XoffLim;
    d.ByteSize = s.ByteSize;
    d.Parity = s.Parity;
    d.StopBits = s.StopBits;
    d.XonChar = s.XonChar;
    d.XoffChar = s.XoffChar;
    d.ErrorChar = s.ErrorChar;
    d.EofChar = s.EofChar;
    d.EvtChar = s.EvtChar;
    d.wReserved1 = s.wReserved1;
    return d;
}

class Win32SerialDevice : public SerialDevice {
  public:
    std::int32_t Open(const std::u16string& name, PortHandle& handle, std::string& why) override {
        why.clear();
        handle = kInvalidPort;
        const std::u16string path = PortNameForOpen(name);
        const HANDLE h = CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const std::int32_t e = LastError();
            // A folder is no serial device, whatever the open says about it.
            if (e == ERROR_ACCESS_DENIED) {
                const DWORD attributes = GetFileAttributesW(Wide(path));
                if (attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    return ERROR_BAD_DEVICE;
                }
            }
            return e;
        }
        // Only a character device is kept: a settings file naming any writable file must not
        // make the next send overwrite it.
        if (GetFileType(h) != FILE_TYPE_CHAR) {
            CloseHandle(h);
            return ERROR_BAD_DEVICE;
        }
        handle = reinterpret_cast<PortHandle>(h);
        return 0;
    }

    std::int32_t ApplyDefaultConfig(const std::u16string& name, PortHandle handle) override {
        COMMCONFIG config{};
        config.dwSize = sizeof config;
        DWORD size = sizeof config;
        if (!GetDefaultCommConfigW(Wide(PortNameForDefaultConfig(name)), &config, &size)) {
            return LastError();
        }
        if (!SetCommConfig(ToHandle(handle), &config, size)) return LastError();
        return 0;
    }

    std::int32_t GetState(PortHandle handle, CommState& state) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(ToHandle(handle), &dcb)) return LastError();
        state = FromDcb(dcb);
        return 0;
    }

    std::int32_t SetState(PortHandle handle, const CommState& state) override {
        DCB dcb = ToDcb(state);
        if (!SetCommState(ToHandle(handle), &dcb)) return LastError();
        return 0;
    }

    std::int32_t GetTimeouts(PortHandle handle, CommTimeouts& timeouts) override {
        COMMTIMEOUTS t{};
        if (!GetCommTimeouts(ToHandle(handle), &t)) return LastError();
        timeouts.ReadIntervalTimeout = t.ReadIntervalTimeout;
        timeouts.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
        timeouts.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
        timeouts.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
        timeouts.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
        return 0;
    }

    std::int32_t SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) override {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
        t.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
        t.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
        t.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
        t.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
        if (!SetCommTimeouts(ToHandle(handle), &t)) return LastError();
        return 0;
    }

    std::int32_t Write(PortHandle handle, const char* data, std::size_t size,
                       std::size_t& written) override {
        DWORD taken = 0;
        const DWORD count = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        const BOOL ok = WriteFile(ToHandle(handle), data, count, &taken, nullptr);
        const std::int32_t error = ok ? 0 : LastError();
        written = taken;
        // A write that ran out of time succeeds with part of it sent. Drivers that keep a
        // transmit buffer of their own (USB adapters) could still send the rest when the line
        // moves, long after the send was reported as failed: drop it.
        if (taken < count) PurgeComm(ToHandle(handle), PURGE_TXABORT | PURGE_TXCLEAR);
        return error;
    }

    std::int32_t ReadWaiting(PortHandle handle, char* data, std::size_t size,
                             std::size_t& got) override {
        got = 0;
        // Only as many bytes as the driver holds: a read of more would wait under the
        // blocking mode's time-outs.
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(ToHandle(handle), &errors, &status)) return LastError();
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, status.cbInQue));
        if (want == 0) return 0;
        DWORD taken = 0;
        const BOOL ok = ReadFile(ToHandle(handle), data, want, &taken, nullptr);
        got = taken;
        return ok ? 0 : LastError();
    }

    std::int32_t Close(PortHandle handle) override {
        return CloseHandle(ToHandle(handle)) ? 0 : LastError();
    }
};

}  // namespace

SerialDevice& SystemSerialDevice() {
    static Win32SerialDevice device;
    return device;
}

}  // namespace merel
