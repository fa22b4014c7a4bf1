#include "port/comm_state_termios.h"

#include <termios.h>

#include <algorithm>
#include <iterator>

namespace merel {

namespace {

static_assert(VMIN < sizeof(TtySettings::cc) && VTIME < sizeof(TtySettings::cc) &&
              VSTART < sizeof(TtySettings::cc) && VSTOP < sizeof(TtySettings::cc));

constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kXoff = 0x13;
constexpr std::uint32_t kDtrControlEnable = 1;
constexpr std::uint32_t kRtsControlEnable = 1;

bool WantsRtsCts(const CommState& s) {
    return s.fOutxCtsFlow != 0 || s.fRtsControl == kRtsControlHandshake;
}

// Tenths of a second for VTIME, at least 1 so that a time-out never turns into "wait forever".
std::uint8_t Deciseconds(std::uint64_t milliseconds) {
    return static_cast<std::uint8_t>(std::clamp<std::uint64_t>((milliseconds + 99) / 100, 1, 255));
}

}  // namespace

CommState DefaultCommState(std::uint32_t baudrate) {
    CommState s;
    s.DCBlength = 28;  // the size of the Windows structure
    s.BaudRate = baudrate;
    s.fBinary = 1;
    s.fDtrControl = kDtrControlEnable;
    s.fRtsControl = kRtsControlEnable;
    s.XonLim = 2048;
    s.XoffLim = 512;
    s.ByteSize = 8;
    s.XonChar = static_cast<char>(kXon);
    s.XoffChar = static_cast<char>(kXoff);
    return s;
}

CommState ReadCommState(const TtySettings& tty, const CommState& cached) {
    CommState s = cached;
    s.BaudRate = TtySpeed(tty);
    switch (tty.cflag & CSIZE) {
        case CS5:
            s.ByteSize = 5;
            break;
        case CS6:
            s.ByteSize = 6;
            break;
        case CS7:
            s.ByteSize = 7;
            break;
        default:
            s.ByteSize = 8;
            break;
    }
    if ((tty.cflag & PARENB) == 0) {
        s.Parity = 0;
    } else if ((tty.cflag & CMSPAR) != 0) {
        s.Parity = (tty.cflag & PARODD) != 0 ? 3 : 4;  // mark, space
    } else {
        s.Parity = (tty.cflag & PARODD) != 0 ? 1 : 2;  // odd, even
    }
    s.fParity = (tty.iflag & INPCK) != 0 ? 1 : 0;
    // termios knows one or two stop bits; one and a half is sent as two and kept as set.
    if ((tty.cflag & CSTOPB) == 0) {
        s.StopBits = 0;
    } else if (cached.StopBits != 1) {
        s.StopBits = 2;
    }
    const bool rtscts = (tty.cflag & CRTSCTS) != 0;
    if (rtscts != WantsRtsCts(cached)) {
        // Changed behind our back: follow the terminal.
        s.fOutxCtsFlow = rtscts ? 1 : 0;
        s.fRtsControl = rtscts ? kRtsControlHandshake : kRtsControlEnable;
    }
    s.fOutX = (tty.iflag & IXON) != 0 ? 1 : 0;
    s.fInX = (tty.iflag & IXOFF) != 0 ? 1 : 0;
    s.XonChar = static_cast<char>(tty.cc[VSTART]);
    s.XoffChar = static_cast<char>(tty.cc[VSTOP]);
    return s;
}

std::int32_t WriteCommState(const CommState& s, TtySettings& tty) {
    if (s.BaudRate == 0 || s.ByteSize < 5 || s.ByteSize > 8 || s.Parity > 4 || s.StopBits > 2) {
        return win32::kInvalidParameter;
    }
    SetTtySpeed(tty, s.BaudRate);
    static constexpr std::uint32_t kSizes[] = {CS5, CS6, CS7, CS8};
    tty.cflag &= ~static_cast<std::uint32_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tty.cflag |= kSizes[s.ByteSize - 5];
    switch (s.Parity) {
        case 1:
            tty.cflag |= PARENB | PARODD;
            break;
        case 2:
            tty.cflag |= PARENB;
            break;
        case 3:
            tty.cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            tty.cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (s.StopBits != 0) tty.cflag |= CSTOPB;
    if (WantsRtsCts(s)) tty.cflag |= CRTSCTS;
    tty.iflag &= ~static_cast<std::uint32_t>(INPCK | IXON | IXOFF);
    if (s.fParity != 0) tty.iflag |= INPCK;
    if (s.fOutX != 0) tty.iflag |= IXON;
    if (s.fInX != 0) tty.iflag |= IXOFF;
    tty.cc[VSTART] = static_cast<std::uint8_t>(s.XonChar);
    tty.cc[VSTOP] = static_cast<std::uint8_t>(s.XoffChar);
    return 0;
}

void WriteReadTimeouts(const CommTimeouts& t, TtySettings& tty) {
    std::uint8_t vmin = 0;
    std::uint8_t vtime = 0;
    const bool noTotal = t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    if (t.ReadIntervalTimeout == kMaxDword && noTotal) {
        // Return at once with what has arrived.
        vmin = 0;
        vtime = 0;
    } else if (noTotal) {
        // Wait for the first byte without limit, then for each next one up to the interval.
        vmin = 1;
        vtime = t.ReadIntervalTimeout == 0 ? 0 : Deciseconds(t.ReadIntervalTimeout);
    } else {
        // A total time-out: wait that long for the first byte.
        const std::uint64_t multiplier =
            t.ReadTotalTimeoutMultiplier == kMaxDword ? 0 : t.ReadTotalTimeoutMultiplier;
        vmin = 0;
        vtime = Deciseconds(multiplier + t.ReadTotalTimeoutConstant);
    }
    tty.cc[VMIN] = vmin;
    tty.cc[VTIME] = vtime;
}

void WriteDefaultConfig(TtySettings& tty) {
    termios t{};
    t.c_iflag = tty.iflag;
    t.c_oflag = tty.oflag;
    t.c_cflag = tty.cflag;
    t.c_lflag = tty.lflag;
    t.c_line = tty.line;
    std::copy(std::begin(tty.cc), std::end(tty.cc), t.c_cc);
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXOFF | IXANY);
    t.c_cc[VSTART] = kXon;
    t.c_cc[VSTOP] = kXoff;
    tty.iflag = t.c_iflag;
    tty.oflag = t.c_oflag;
    tty.cflag = t.c_cflag;
    tty.lflag = t.c_lflag;
    std::copy(t.c_cc, t.c_cc + sizeof tty.cc, tty.cc);
}

}  // namespace merel
