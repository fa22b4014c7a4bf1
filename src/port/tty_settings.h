// A terminal's settings as the kernel's termios2 holds them, so that any baud rate can be set.
// Kept apart from <termios.h>: the kernel's <asm/termbits.h> declares the same names
// differently, so only tty_settings_linux.cpp includes it.
#pragma once

#include <cstdint>

namespace merel {

struct TtySettings {
    std::uint32_t iflag = 0;
    std::uint32_t oflag = 0;
    std::uint32_t cflag = 0;
    std::uint32_t lflag = 0;
    std::uint8_t line = 0;
    std::uint8_t cc[19] = {};
    std::uint32_t ispeed = 0;
    std::uint32_t ospeed = 0;
};

// Each returns 0 or the errno of the failing call.
int ReadTtySettings(int fd, TtySettings& settings);
int WriteTtySettings(int fd, const TtySettings& settings);

// Sets input and output speed: the standard constant where the rate has one (so that tools
// reading the classic termios see it), the kernel's free rate otherwise.
void SetTtySpeed(TtySettings& settings, std::uint32_t rate);
std::uint32_t TtySpeed(const TtySettings& settings);

}  // namespace merel
