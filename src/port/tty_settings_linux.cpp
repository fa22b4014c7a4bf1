#include "port/tty_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace merel {

namespace {

static_assert(sizeof(TtySettings::cc) == NCCS);

struct RateCode {
    std::uint32_t rate;
    unsigned int code;
};

constexpr RateCode kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

int ReadTtySettings(int fd, TtySettings& settings) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;
    settings.iflag = t.c_iflag;
    settings.oflag = t.c_oflag;
    settings.cflag = t.c_cflag;
    settings.lflag = t.c_lflag;
    settings.line = t.c_line;
    std::memcpy(settings.cc, t.c_cc, sizeof settings.cc);
    settings.ispeed = t.c_ispeed;
    settings.ospeed = t.c_ospeed;
    return 0;
}

int WriteTtySettings(int fd, const TtySettings& settings) {
    termios2 t{};
    t.c_iflag = settings.iflag;
    t.c_oflag = settings.oflag;
    t.c_cflag = settings.cflag;
    t.c_lflag = settings.lflag;
    t.c_line = settings.line;
    std::memcpy(t.c_cc, settings.cc, sizeof settings.cc);
    t.c_ispeed = settings.ispeed;
    t.c_ospeed = settings.ospeed;
    if (ioctl(fd, TCSETS2, &t) != 0) return errno;
    return 0;
}

void SetTtySpeed(TtySettings& settings, std::uint32_t rate) {
    unsigned int code = BOTHER;
    for (const RateCode& r : kStandardRates) {
        if (r.rate == rate) code = r.code;
    }
    // No separate input rate: the input speed follows the output speed.
    settings.cflag &= ~static_cast<std::uint32_t>(CBAUD | CIBAUD);
    settings.cflag |= code;
    settings.ispeed = rate;
    settings.ospeed = rate;
}

std::uint32_t TtySpeed(const TtySettings& settings) {
    const unsigned int code = settings.cflag & CBAUD;
    if (code != BOTHER) {
        for (const RateCode& r : kStandardRates) {
            if (r.code == code) return r.rate;
        }
    }
    return settings.ospeed;
}

}  // namespace merel
