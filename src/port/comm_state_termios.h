// Between the Windows view of a serial line (device control block, time-outs) and the terminal
// settings of Linux. Pure: no device is touched.
#pragma once

#include <cstdint>

#include "port/serial_device.h"
#include "port/tty_settings.h"

namespace merel {

// What a port holds after its default configuration, in the terms of a device control block.
CommState DefaultCommState(std::uint32_t baudrate);

// The fields that termios holds come from the terminal; the others as `cached` has them.
CommState ReadCommState(const TtySettings& tty, const CommState& cached);

// Puts the device control block into the terminal settings; 0, or the Win32 error for values
// that no serial line can take (the settings are then unchanged).
std::int32_t WriteCommState(const CommState& state, TtySettings& tty);

// The read behaviour of a time-out set, as closely as VMIN and VTIME can give it.
void WriteReadTimeouts(const CommTimeouts& timeouts, TtySettings& tty);

// The stand-in for the Windows default configuration: raw bytes, 8N1, no flow control, the
// receiver on and the modem lines ignored; the rate stays.
void WriteDefaultConfig(TtySettings& tty);

}  // namespace merel
