// The translation between a device control block with its time-outs and Linux terminal
// settings, checked on plain values, including what a pseudo terminal cannot hold.
#include <gtest/gtest.h>

#include <termios.h>

#include <cstdint>
#include <tuple>

#include "port/comm_state_termios.h"

namespace merel {
namespace {

// Settings as a terminal might hold them before we touch it: canonical, echoing, 9600 7E2.
TtySettings CookedTty() {
    TtySettings tty;
    tty.iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP;
    tty.oflag = OPOST | ONLCR;
    tty.cflag = CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    tty.lflag = ICANON | ECHO | ISIG | IEXTEN;
    tty.cc[VMIN] = 1;
    tty.cc[VSTART] = 'Q';
    tty.cc[VSTOP] = 'S';
    SetTtySpeed(tty, 9600);
    return tty;
}

CommState Line(std::uint32_t baud, std::uint8_t byteSize, std::uint8_t parity,
               std::uint8_t stopBits) {
    CommState s = DefaultCommState(baud);
    s.ByteSize = byteSize;
    s.Parity = parity;
    s.StopBits = stopBits;
    s.fParity = parity != 0;
    return s;
}

TEST(SerialTermiosMapping, DefaultConfigurationIsRaw8N1WithoutFlowControl) {
    TtySettings tty = CookedTty();
    WriteDefaultConfig(tty);
    EXPECT_EQ(tty.lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tty.oflag & OPOST, 0u);
    EXPECT_EQ(tty.iflag & (ICRNL | IXON | IXOFF | INPCK | ISTRIP), 0u);
    EXPECT_EQ(tty.cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tty.cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(tty.cc[VMIN], 1);
    EXPECT_EQ(tty.cc[VTIME], 0);
    EXPECT_EQ(tty.cc[VSTART], 0x11);
    EXPECT_EQ(tty.cc[VSTOP], 0x13);
    EXPECT_EQ(TtySpeed(tty), 9600u);  // the rate stays

    // Seen as a device control block: what a freshly configured Windows port reports.
    EXPECT_EQ(ReadCommState(tty, DefaultCommState(TtySpeed(tty))), DefaultCommState(9600));
}

TEST(SerialTermiosMapping, LineAndFlowFieldsBecomeTerminalFlagsAndReadBack) {
    struct Case {
        std::uint8_t byteSize, parity, stopBits;
        std::uint32_t cts, dsr, dtr, outX, inX, rts;
        tcflag_t cflag;  // within CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS
        tcflag_t iflag;  // within INPCK | IXON | IXOFF
    };
    constexpr std::uint32_t kDtr = kDtrControlHandshake, kRts = kRtsControlHandshake;
    const Case cases[] = {
        {8, 0, 0, 0, 0, 0, 0, 0, 0, CS8, 0},
        {7, 1, 0, 0, 0, 0, 0, 0, 0, CS7 | PARENB | PARODD, INPCK},
        {7, 2, 2, 0, 0, 0, 0, 0, 0, CS7 | PARENB | CSTOPB, INPCK},
        {6, 3, 0, 0, 0, 0, 0, 0, 0, CS6 | PARENB | PARODD | CMSPAR, INPCK},  // mark
        {5, 4, 1, 0, 0, 0, 0, 0, 0, CS5 | PARENB | CMSPAR | CSTOPB, INPCK},  // space; 1.5 as 2
        {8, 0, 0, 1, 1, kDtr, 0, 0, kRts, CS8 | CRTSCTS, 0},                 // hardware
        {8, 0, 0, 0, 0, 0, 1, 1, 0, CS8, IXON | IXOFF},                      // software
        // Either half of the hardware handshake asks for it; either half of software for its own.
        {8, 0, 0, 1, 0, 0, 0, 0, 0, CS8 | CRTSCTS, 0},
        {8, 0, 0, 0, 0, 0, 0, 0, kRts, CS8 | CRTSCTS, 0},
        {8, 0, 0, 0, 0, 0, 0, 1, 0, CS8, IXOFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << &c - cases);
        TtySettings tty = CookedTty();
        CommState s = Line(115200, c.byteSize, c.parity, c.stopBits);
        s.fOutxCtsFlow = c.cts;
        s.fOutxDsrFlow = c.dsr;
        s.fDtrControl = c.dtr;
        s.fOutX = c.outX;
        s.fInX = c.inX;
        s.fRtsControl = c.rts;
        ASSERT_EQ(WriteCommState(s, tty), 0);
        EXPECT_EQ(tty.cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), c.cflag);
        EXPECT_EQ(tty.iflag & (INPCK | IXON | IXOFF), c.iflag);
        EXPECT_NE(tty.cflag & HUPCL, 0u);  // flags we do not own stay
        // DSR and DTR have no terminal flag: they come back as set.
        EXPECT_EQ(ReadCommState(tty, s), s);
    }
}

TEST(SerialTermiosMapping, CharactersAndRatesOfAnyValue) {
    TtySettings tty = CookedTty();
    CommState s = Line(12345, 8, 0, 0);
    s.XonChar = 'A';
    s.XoffChar = static_cast<char>(0xFE);
    ASSERT_EQ(WriteCommState(s, tty), 0);
    // The two characters, the kernel's free rate and both speeds.
    EXPECT_EQ(std::tuple(tty.cc[VSTART], tty.cc[VSTOP], tty.cflag & CBAUD, tty.ospeed, tty.ispeed),
              std::tuple('A', 0xFE, 0010000u, 12345u, 12345u));
    EXPECT_EQ(ReadCommState(tty, s), s);

    s.BaudRate = 460800;
    ASSERT_EQ(WriteCommState(s, tty), 0);
    EXPECT_EQ(tty.cflag & CBAUD, static_cast<tcflag_t>(B460800));
    EXPECT_EQ(TtySpeed(tty), 460800u);
}

TEST(SerialTermiosMapping, TerminalChangesShowThroughTheCache) {
    CommState cached = Line(9600, 8, 0, 0);
    cached.fRtsControl = kRtsControlHandshake;
    cached.fOutxCtsFlow = 1;
    TtySettings tty = CookedTty();
    tty.cflag &= ~static_cast<tcflag_t>(CRTSCTS);  // someone else turned the handshake off
    CommState s = ReadCommState(tty, cached);
    EXPECT_NE(s.fRtsControl, kRtsControlHandshake);
    // CTS flow, 7E2 with parity checking, and the XON character, as the terminal holds them.
    EXPECT_EQ(std::tuple(s.fOutxCtsFlow, s.ByteSize, s.Parity, s.StopBits, s.fParity, s.XonChar),
              std::tuple(0u, 7, 2, 2, 1u, 'Q'));
    // A pseudo terminal forces 8 bits without parity; the block then tells the truth.
    tty.cflag = (tty.cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8;
    s = ReadCommState(tty, cached);
    EXPECT_EQ(std::tuple(s.ByteSize, s.Parity), std::tuple(8, 0));
}

TEST(SerialTermiosMapping, ImpossibleLineSettingsAreRefusedUntouched) {
    for (const CommState& s : {Line(0, 8, 0, 0), Line(9600, 4, 0, 0), Line(9600, 9, 0, 0),
                               Line(9600, 0xFF, 0, 0), Line(9600, 8, 5, 0), Line(9600, 8, 0, 3)}) {
        TtySettings tty = CookedTty();
        EXPECT_EQ(WriteCommState(s, tty), 87);
        EXPECT_EQ(tty.cflag, CookedTty().cflag);
        EXPECT_EQ(tty.iflag, CookedTty().iflag);
        EXPECT_EQ(tty.ospeed, CookedTty().ospeed);
    }
}

TEST(SerialTermiosMapping, ReadTimeoutsBecomeVminAndVtime) {
    struct Case {
        CommTimeouts t;
        std::uint8_t vmin, vtime;
    };
    const Case cases[] = {
        {{kMaxDword, 0, 0, 0, 0}, 0, 0},            // nonblocking: return at once
        {{0, 0, 0, 0, 0}, 1, 0},                    // blocking: wait for a byte
        {{210, 0, 0, 0, 0}, 1, 3},                  // interval, rounded up to tenths
        {{1, 0, 0, 0, 0}, 1, 1},                    // never rounded down to "forever"
        {{kMaxDword, kMaxDword, 500, 0, 0}, 0, 5},  // wait up to 500 ms for the first byte
        {{0, 10, 90000, 7, 8}, 0, 255},             // longest that VTIME holds
        {{kMaxDword - 1, 0, 0, 0, 0}, 1, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.t.ReadIntervalTimeout << "/" << c.t.ReadTotalTimeoutConstant);
        TtySettings tty = CookedTty();
        WriteReadTimeouts(c.t, tty);
        EXPECT_EQ(tty.cc[VMIN], c.vmin);
        EXPECT_EQ(tty.cc[VTIME], c.vtime);
        EXPECT_EQ(tty.lflag, CookedTty().lflag);
    }
}

}  // namespace
}  // namespace merel
