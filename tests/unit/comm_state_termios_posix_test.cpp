// The translation between a device control block with its time-outs and Linux terminal
// settings, checked on plain values, including what a pseudo terminal cannot hold.
#include <gtest/gtest.h>

#include <termios.h>

#include <cstdint>

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
    const CommState s = ReadCommState(tty, DefaultCommState(TtySpeed(tty)));
    EXPECT_EQ(s, DefaultCommState(9600));
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.fOutxCtsFlow, 0u);
}

TEST(SerialTermiosMapping, ByteSizeParityAndStopBitsBecomeControlFlags) {
    struct Case {
        std::uint8_t byteSize, parity, stopBits;
        tcflag_t cflag;  // within CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
    };
    const Case cases[] = {
        {8, 0, 0, CS8},
        {7, 1, 0, CS7 | PARENB | PARODD},
        {7, 2, 2, CS7 | PARENB | CSTOPB},
        {6, 3, 0, CS6 | PARENB | PARODD | CMSPAR},  // mark
        {5, 4, 1, CS5 | PARENB | CMSPAR | CSTOPB},  // space, one and a half as two
    };
    constexpr tcflag_t kMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.byteSize) << int(c.parity) << int(c.stopBits));
        TtySettings tty = CookedTty();
        const CommState s = Line(115200, c.byteSize, c.parity, c.stopBits);
        ASSERT_EQ(WriteCommState(s, tty), 0);
        EXPECT_EQ(tty.cflag & kMask, c.cflag);
        EXPECT_EQ((tty.iflag & INPCK) != 0, c.parity != 0);
        EXPECT_NE(tty.cflag & HUPCL, 0u);  // flags we do not own stay
        EXPECT_EQ(ReadCommState(tty, s), s);
    }
}

TEST(SerialTermiosMapping, FlowControlByHandshakeFields) {
    struct Case {
        const char* name;
        std::uint32_t cts, dsr, dtr, outX, inX, rts;
        bool rtscts, ixon, ixoff;
    };
    const Case cases[] = {
        {"off", 0, 0, kDtrControlDisable, 0, 0, kRtsControlDisable, false, false, false},
        {"hardware", 1, 1, kDtrControlHandshake, 0, 0, kRtsControlHandshake, true, false, false},
        {"software", 0, 0, kDtrControlDisable, 1, 1, kRtsControlDisable, false, true, true},
        // Either half of the hardware handshake asks for it.
        {"cts only", 1, 0, kDtrControlDisable, 0, 0, kRtsControlDisable, true, false, false},
        {"rts only", 0, 0, kDtrControlDisable, 0, 0, kRtsControlHandshake, true, false, false},
        {"send xon only", 0, 0, kDtrControlDisable, 0, 1, kRtsControlDisable, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TtySettings tty = CookedTty();
        CommState s = Line(460800, 8, 0, 0);
        s.fOutxCtsFlow = c.cts;
        s.fOutxDsrFlow = c.dsr;
        s.fDtrControl = c.dtr;
        s.fOutX = c.outX;
        s.fInX = c.inX;
        s.fRtsControl = c.rts;
        ASSERT_EQ(WriteCommState(s, tty), 0);
        EXPECT_EQ((tty.cflag & CRTSCTS) != 0, c.rtscts);
        EXPECT_EQ((tty.iflag & IXON) != 0, c.ixon);
        EXPECT_EQ((tty.iflag & IXOFF) != 0, c.ixoff);
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
    EXPECT_EQ(tty.cc[VSTART], 'A');
    EXPECT_EQ(tty.cc[VSTOP], 0xFE);
    EXPECT_EQ(tty.cflag & CBAUD, 0010000u);  // the kernel's free rate
    EXPECT_EQ(tty.ospeed, 12345u);
    EXPECT_EQ(tty.ispeed, 12345u);
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
    const CommState s = ReadCommState(tty, cached);
    EXPECT_EQ(s.fOutxCtsFlow, 0u);
    EXPECT_NE(s.fRtsControl, kRtsControlHandshake);
    EXPECT_EQ(s.ByteSize, 7);
    EXPECT_EQ(s.Parity, 2);
    EXPECT_EQ(s.StopBits, 2);
    EXPECT_EQ(s.fParity, 1u);
    EXPECT_EQ(s.XonChar, 'Q');
    // A pseudo terminal forces 8 bits without parity; the block then tells the truth.
    tty.cflag = (tty.cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8;
    EXPECT_EQ(ReadCommState(tty, cached).ByteSize, 8);
    EXPECT_EQ(ReadCommState(tty, cached).Parity, 0);
}

TEST(SerialTermiosMapping, ImpossibleLineSettingsAreRefusedUntouched) {
    const CommState good = Line(9600, 8, 0, 0);
    CommState bad[6] = {good, good, good, good, good, good};
    bad[0].BaudRate = 0;
    bad[1].ByteSize = 4;
    bad[2].ByteSize = 9;
    bad[3].Parity = 5;
    bad[4].StopBits = 3;
    bad[5].ByteSize = 0xFF;
    for (const CommState& s : bad) {
        TtySettings tty = CookedTty();
        const TtySettings before = tty;
        EXPECT_EQ(WriteCommState(s, tty), 87);
        EXPECT_EQ(tty.cflag, before.cflag);
        EXPECT_EQ(tty.iflag, before.iflag);
        EXPECT_EQ(tty.ospeed, before.ospeed);
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
        {{250, 0, 0, 0, 0}, 1, 3},                  // interval, rounded up to tenths
        {{1, 0, 0, 0, 0}, 1, 1},                    // never rounded down to "forever"
        {{kMaxDword, kMaxDword, 500, 0, 0}, 0, 5},  // wait up to 500 ms for the first byte
        {{0, 10, 90000, 7, 8}, 0, 255},             // longest that VTIME holds
        {{kMaxDword - 1, 0, 0, 0, 0}, 1, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.t.ReadIntervalTimeout << "/" << c.t.ReadTotalTimeoutMultiplier << "/"
                     << c.t.ReadTotalTimeoutConstant);
        TtySettings tty = CookedTty();
        WriteReadTimeouts(c.t, tty);
        EXPECT_EQ(tty.cc[VMIN], c.vmin);
        EXPECT_EQ(tty.cc[VTIME], c.vtime);
        EXPECT_EQ(tty.lflag, CookedTty().lflag);
    }
}

}  // namespace
}  // namespace merel
