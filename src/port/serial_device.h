// The serial calls that the port layer makes, shaped like the Win32 ones. Every call returns a
// Win32 error number (0 = success); backends translate, the port layer decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/hresult.h"

namespace merel {

using PortHandle = std::intptr_t;
inline constexpr PortHandle kInvalidPort = -1;

// Mirror of the Win32 DCB, field for field, so that a read-modify-write keeps what it does not
// change.
struct CommState {
    std::uint32_t DCBlength = 0;
    std::uint32_t BaudRate = 0;
    std::uint32_t fBinary = 0;
    std::uint32_t fParity = 0;
    std::uint32_t fOutxCtsFlow = 0;
    std::uint32_t fOutxDsrFlow = 0;
    std::uint32_t fDtrControl = 0;
    std::uint32_t fDsrSensitivity = 0;
    std::uint32_t fTXContinueOnXoff = 0;
    std::uint32_t fOutX = 0;
    std::uint32_t fInX = 0;
    std::uint32_t fErrorChar = 0;
    std::uint32_t fNull = 0;
    std::uint32_t fRtsControl = 0;
    std::uint32_t fAbortOnError = 0;
    std::uint32_t fDummy2 = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;

    bool operator==(const CommState&) const = default;
};

inline constexpr std::uint32_t kDtrControlDisable = 0;
inline constexpr std::uint32_t kDtrControlHandshake = 2;
inline constexpr std::uint32_t kRtsControlDisable = 0;
inline constexpr std::uint32_t kRtsControlHandshake = 2;

struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;

    bool operator==(const CommTimeouts&) const = default;
};

inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

class SerialDevice {
  public:
    virtual ~SerialDevice() = default;

    // Opens the named device for exclusive read and write use. Only a character device is
    // kept: anything else is closed again and reported as 1200 (bad device). `why` gets what
    // the backend knows beyond the error number, such as which process holds the port; it is
    // empty otherwise.
    virtual std::int32_t Open(const std::u16string& name, PortHandle& handle, std::string& why) = 0;
    // Reads the device's default configuration by name and applies it to the open handle.
    virtual std::int32_t ApplyDefaultConfig(const std::u16string& name, PortHandle handle) = 0;
    virtual std::int32_t GetState(PortHandle handle, CommState& state) = 0;
    virtual std::int32_t SetState(PortHandle handle, const CommState& state) = 0;
    virtual std::int32_t GetTimeouts(PortHandle handle, CommTimeouts& timeouts) = 0;
    virtual std::int32_t SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) = 0;
    // One synchronous write; `written` tells how many bytes the system took.
    virtual std::int32_t Write(PortHandle handle, const char* data, std::size_t size,
                               std::size_t& written) = 0;
    // Takes what the device has received and not yet been read, up to `size` bytes, without
    // waiting for more, whatever read time-outs the port has: the sender reads the modem's
    // answers during its pauses and must never be held up by a silent one.
    virtual std::int32_t ReadWaiting(PortHandle handle, char* data, std::size_t size,
                                     std::size_t& got) = 0;
    virtual std::int32_t Close(PortHandle handle) = 0;
};

// The serial device of the platform this program was built for.
SerialDevice& SystemSerialDevice();

}  // namespace merel
