// The Linux serial device on real pseudo terminals: the port layer opens the terminal side by
// its path, the test plays the modem on the other side and reads the terminal settings back
// from the kernel.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/narrow.h"
#include "fakes.h"
#include "port/serial_port.h"

namespace merel {
namespace {

// The kernel's termios2, declared here because its header clashes with <termios.h>; the test
// reads the free baud rate with it independently of the code under test.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
constexpr unsigned long kTcgets2 = _IOR('T', 0x2A, KernelTermios2);
constexpr tcflag_t kBother = 0010000;

KernelTermios2 ReadTermios2(int fd) {
    KernelTermios2 t{};
    EXPECT_EQ(ioctl(fd, kTcgets2, &t), 0) << std::strerror(errno);
    return t;
}

termios ReadTermios(int fd) {
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0) << std::strerror(errno);
    return t;
}

// Reads up to `size` bytes within the time limit; fewer when no more arrive.
std::string ReadFor(int fd, std::size_t size, std::chrono::milliseconds limit) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, size - got.size()));
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "merel-port-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SerialDevicePosix : public ::testing::Test {
  protected:
    void SetUp() override {
        std::array<char, 128> name{};
        int slave = -1;
        ASSERT_EQ(openpty(&master_, &slave, name.data(), nullptr, nullptr), 0);
        // Only the modem's side stays open, as with a real device.
        close(slave);
        path_ = name.data();
    }
    void TearDown() override {
        ClosePort(port);
        if (master_ >= 0) close(master_);
    }

    std::u16string Path() const { return Utf8ToUtf16(path_); }
    void CloseMaster() {
        close(master_);
        master_ = -1;
    }

    int master_ = -1;
    std::string path_;
    test::EventLog log;
    test::RecordingPause pause{log};
    SerialDevice& device = SystemSerialDevice();
    PortHandle m_hPort = kInvalidPort;
    std::int32_t m_dwLastError = 0;
    PortLayer port{device, pause, m_hPort, m_dwLastError};
};

TEST_F(SerialDevicePosix, OpensConfiguresAndWritesExactlyTheCommandBytes) {
    ASSERT_EQ(OpenPort(port, Path()), kS_OK);
    ASSERT_NE(m_hPort, kInvalidPort);
    const int fd = static_cast<int>(m_hPort);

    // The default configuration: raw bytes, receiver on, modem lines ignored.
    const termios raw = ReadTermios(fd);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);

    ASSERT_EQ(ConfigurePort(port, 460800, 8, 0, 0, 1, 0), kS_OK);
    EXPECT_EQ(m_dwLastError, 0);
    const termios t = ReadTermios(fd);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B460800));
    EXPECT_EQ(ReadTermios2(fd).c_ospeed, 460800u);
    // Nonblocking reads: nothing waits for a byte.
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 0);

    // Line ends pass unchanged: no output processing turns LF into CR LF.
    const std::string command = "AT+CMGS=\"+31612345678\"\n\r\x1A\x80\xFF";
    EXPECT_EQ(WriteCommand(port, command), kS_OK);
    EXPECT_EQ(pause.pauses, std::vector<std::uint32_t>{1000});
    EXPECT_EQ(ReadFor(master_, command.size(), std::chrono::seconds(5)), command);
    EXPECT_EQ(ReadFor(master_, 1, std::chrono::milliseconds(100)), "");
}

TEST_F(SerialDevicePosix, LongCommandArrivesWhole) {
    ASSERT_EQ(OpenPort(port, Path()), kS_OK);
    std::string command;
    for (int i = 0; i < 1023; ++i) command.push_back(static_cast<char>('0' + i % 43));
    EXPECT_EQ(WriteCommand(port, command), kS_OK);
    EXPECT_EQ(ReadFor(master_, command.size(), std::chrono::seconds(5)), command);
    EXPECT_EQ(ReadFor(master_, 1, std::chrono::milliseconds(100)), "");
}

TEST_F(SerialDevicePosix, LineSettingsRoundTripThroughTheDevice) {
    PortHandle handle = kInvalidPort;
    ASSERT_EQ(device.Open(Path(), handle), 0);
    m_hPort = handle;
    ASSERT_EQ(device.ApplyDefaultConfig(Path(), handle), 0);
    const int fd = static_cast<int>(handle);
    CommState base;
    ASSERT_EQ(device.GetState(handle, base), 0);

    // A pseudo terminal always carries 8 bits without parity, so only the rest varies here;
    // byte size and parity are checked on plain settings elsewhere.
    struct Case {
        const char* name;
        std::uint32_t baud;
        std::uint8_t stopBits;
        std::uint32_t handshake;  // 0 off, 1 hardware, 2 software
        std::uint32_t parityCheck;
        tcflag_t cflagSet, cflagClear, iflagSet, iflagClear;
    };
    const Case cases[] = {
        {"1 stop, hardware", 460800, 0, 1, 0, CRTSCTS, CSTOPB, 0, IXON | IXOFF | INPCK},
        {"2 stop, software", 9600, 2, 2, 0, CSTOPB, CRTSCTS, IXON | IXOFF, INPCK},
        {"1.5 stop, off, parity check", 115200, 1, 0, 1, CSTOPB, CRTSCTS, INPCK, IXON | IXOFF},
        {"free rate", 12345, 0, 1, 0, CRTSCTS, CSTOPB, 0, IXON | IXOFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CommState s = base;
        s.BaudRate = c.baud;
        s.ByteSize = 8;
        s.Parity = 0;
        s.StopBits = c.stopBits;
        s.fParity = c.parityCheck;
        s.fOutxCtsFlow = c.handshake == 1;
        s.fOutxDsrFlow = c.handshake == 1;
        s.fDtrControl = c.handshake == 1 ? kDtrControlHandshake : kDtrControlDisable;
        s.fRtsControl = c.handshake == 1 ? kRtsControlHandshake : kRtsControlDisable;
        s.fOutX = c.handshake == 2;
        s.fInX = c.handshake == 2;
        // Fields that termios cannot hold come back as they were set.
        s.fDsrSensitivity = 1;
        s.fAbortOnError = 1;
        s.XonLim = 77;
        s.EvtChar = '#';
        ASSERT_EQ(device.SetState(handle, s), 0);

        const termios t = ReadTermios(fd);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & c.cflagSet, c.cflagSet);
        EXPECT_EQ(t.c_cflag & c.cflagClear, 0u);
        EXPECT_EQ(t.c_iflag & c.iflagSet, c.iflagSet);
        EXPECT_EQ(t.c_iflag & c.iflagClear, 0u);
        const KernelTermios2 t2 = ReadTermios2(fd);
        EXPECT_EQ(t2.c_ospeed, c.baud);
        EXPECT_EQ(t2.c_ispeed, c.baud);
        if (c.baud == 12345) {
            EXPECT_EQ(t2.c_cflag & CBAUD, kBother);
        }

        CommState back;
        ASSERT_EQ(device.GetState(handle, back), 0);
        EXPECT_EQ(back, s);
    }
}

TEST_F(SerialDevicePosix, ImpossibleLineSettingsAreRefusedAndChangeNothing) {
    ASSERT_EQ(OpenPort(port, Path()), kS_OK);
    ASSERT_EQ(ConfigurePort(port, 9600, 8, 0, 0, 1, 0), kS_OK);
    const termios before = ReadTermios(static_cast<int>(m_hPort));
    struct Case {
        std::uint32_t baud;
        std::int32_t dataBits, parity, stopBits;
    };
    for (const Case& c : {Case{0, 8, 0, 0}, Case{9600, 4, 0, 0}, Case{9600, 9, 0, 0},
                          Case{9600, 8, 5, 0}, Case{9600, 8, 0, 3}}) {
        SCOPED_TRACE(testing::Message()
                     << c.baud << " " << c.dataBits << " " << c.parity << " " << c.stopBits);
        EXPECT_EQ(ConfigurePort(port, c.baud, c.dataBits, c.parity, c.stopBits, 1, 0),
                  static_cast<HRESULT>(0x80070057u));
        EXPECT_EQ(m_dwLastError, 87);
        const termios after = ReadTermios(static_cast<int>(m_hPort));
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
    }
}

TEST_F(SerialDevicePosix, ReadTimeoutsBecomeVminAndVtime) {
    PortHandle handle = kInvalidPort;
    ASSERT_EQ(device.Open(Path(), handle), 0);
    m_hPort = handle;
    const int fd = static_cast<int>(handle);
    struct Case {
        CommTimeouts timeouts;
        cc_t vmin, vtime;
    };
    for (const Case& c :
         {Case{{kMaxDword, 0, 0, 0, 0}, 0, 0}, Case{{0, 0, 0, 0, 0}, 1, 0},
          Case{{250, 0, 0, 0, 0}, 1, 3}, Case{{kMaxDword, kMaxDword, 500, 0, 0}, 0, 5},
          Case{{0, 10, 90000, 7, 8}, 0, 255}, Case{{0, 0, 1, 0, 0}, 0, 1}}) {
        SCOPED_TRACE(testing::Message() << c.timeouts.ReadIntervalTimeout << " "
                                        << c.timeouts.ReadTotalTimeoutConstant);
        ASSERT_EQ(device.SetTimeouts(handle, c.timeouts), 0);
        const termios t = ReadTermios(fd);
        EXPECT_EQ(t.c_cc[VMIN], c.vmin);
        EXPECT_EQ(t.c_cc[VTIME], c.vtime);
        CommTimeouts back;
        ASSERT_EQ(device.GetTimeouts(handle, back), 0);
        EXPECT_EQ(back, c.timeouts);
    }
}

TEST_F(SerialDevicePosix, SecondOpenWhileOpenIsASharingViolation) {
    ASSERT_EQ(OpenPort(port, Path()), kS_OK);

    PortHandle other = kInvalidPort;
    std::int32_t otherError = 0;
    const PortLayer second{device, pause, other, otherError};
    EXPECT_EQ(OpenPort(second, Path()), static_cast<HRESULT>(0x80070020u));
    EXPECT_EQ(otherError, 32);
    EXPECT_EQ(other, kInvalidPort);

    // Once closed, the port can be opened again.
    ASSERT_EQ(ClosePort(port), kS_OK);
    EXPECT_EQ(OpenPort(second, Path()), kS_OK);
    EXPECT_EQ(ClosePort(second), kS_OK);
}

TEST_F(SerialDevicePosix, ReopeningThroughThePortTestWorksEveryTime) {
    std::int32_t open = 0, init = 0;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(TestPort(port, Path(), 460800, open, init), kS_OK);
        EXPECT_EQ(open, 1);
        EXPECT_EQ(init, 1);
    }
    EXPECT_EQ(WriteCommand(port, "AT\n\r"), kS_OK);
    EXPECT_EQ(ReadFor(master_, 4, std::chrono::seconds(5)), "AT\n\r");
}

TEST_F(SerialDevicePosix, CloseReleasesTheDescriptor) {
    ASSERT_EQ(OpenPort(port, Path()), kS_OK);
    const int fd = static_cast<int>(m_hPort);
    EXPECT_EQ(ClosePort(port), kS_OK);
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST_F(SerialDevicePosix, WriteAfterTheOtherSideHungUpFailsWithoutPause) {
    ASSERT_EQ(OpenPort(port, Path()), kS_OK);
    CloseMaster();
    EXPECT_EQ(WriteCommand(port, "AT\n\r"), static_cast<HRESULT>(0x8007045Du));
    EXPECT_EQ(m_dwLastError, 0);
    EXPECT_TRUE(pause.pauses.empty());
}

TEST_F(SerialDevicePosix, AnythingButATerminalIsRefusedAndLeftUntouched) {
    TempDir dir;
    const auto file = dir.path() / "SMSMgr.ini";
    { std::ofstream(file, std::ios::binary) << "[Port]\r\nPort=COM1\r\n"; }
    const std::string content = Slurp(file);

    // A regular file, a folder and a character device that is no terminal.
    for (const std::string& name : {file.string(), dir.path().string(), std::string("/dev/null")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(OpenPort(port, Utf8ToUtf16(name)), static_cast<HRESULT>(0x800704B0u));
        EXPECT_EQ(m_dwLastError, 1200);
        EXPECT_EQ(m_hPort, kInvalidPort);
        EXPECT_EQ(WriteCommand(port, "AT$RESET"), kE_HANDLE);
    }
    EXPECT_EQ(Slurp(file), content);
}

TEST_F(SerialDevicePosix, MissingDeviceOrFolderGivesTheWindowsErrors) {
    TempDir dir;
    EXPECT_EQ(OpenPort(port, Utf8ToUtf16((dir.path() / "ttyNone").string())),
              static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(m_dwLastError, 2);
    EXPECT_EQ(OpenPort(port, Utf8ToUtf16((dir.path() / "none" / "ttyNone").string())),
              static_cast<HRESULT>(0x80070003u));
    EXPECT_EQ(m_dwLastError, 3);
    EXPECT_EQ(OpenPort(port, u""), static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(m_hPort, kInvalidPort);
}

}  // namespace
}  // namespace merel
