// The Linux serial device on real pseudo terminals: the port layer opens the terminal side by
// its path, the test plays the modem on the other side and reads the terminal settings back
// from the kernel.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/narrow.h"
#include "fakes.h"
#include "rescue.h"
#include "port/port_lock.h"
#include "port/serial_port.h"

namespace merel {
namespace {

namespace fs = std::filesystem;

// The kernel's termios2, declared here because its header clashes with <termios.h>; the test
// reads the free baud rate with it independently of the code under test.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

KernelTermios2 ReadTermios2(int fd) {
    KernelTermios2 t{};
    EXPECT_EQ(ioctl(fd, _IOR('T', 0x2A, KernelTermios2), &t), 0) << std::strerror(errno);
    return t;
}

termios ReadTermios(int fd) {
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0) << std::strerror(errno);
    return t;
}

// Reads up to `size` bytes; fewer when none arrive for `limitMs`.
std::string ReadFor(int fd, std::size_t size, int limitMs) {
    std::string got;
    pollfd p{fd, POLLIN, 0};
    char buffer[256];
    while (got.size() < size && poll(&p, 1, limitMs) > 0) {
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, size - got.size()));
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// Writes into the terminal until it takes no more, as a modem that never reads lets it fill:
// down to single bytes, and again while the kernel still makes room by moving bytes on.
std::size_t Fill(int fd) {
    const std::string filler(4096, 'f');
    std::size_t total = 0;
    pollfd p{fd, POLLOUT, 0};
    do {
        for (std::size_t chunk : {filler.size(), std::size_t{1}}) {
            ssize_t n;
            while ((n = write(fd, filler.data(), chunk)) > 0) total += static_cast<std::size_t>(n);
            EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
        }
    } while (poll(&p, 1, 50) > 0);
    return total;
}

std::string Pattern(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>('0' + i % 61);
    return data;
}

std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SerialDevicePosix : public ::testing::Test {
  protected:
    void SetUp() override {
        // Lock files go to a folder of the test's own, not the machine's.
        std::string folder = (fs::temp_directory_path() / "merel-lock-XXXXXX").string();
        ASSERT_NE(mkdtemp(folder.data()), nullptr);
        lockDir_ = folder;
        setenv(kLockFolderVariable, folder.c_str(), 1);
        char name[128] = {};
        int slave = -1;
        ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
        // Only the modem's side stays open, as with a real device.
        close(slave);
        path_ = Utf8ToUtf16(name);
        lockFile_ = lockDir_ / LockFileName(name);
    }
    // Opens and configures the port as the manager does, then limits writes to 200 ms.
    void OpenWithShortLimit() {
        ASSERT_EQ(OpenPort(port, path_), kS_OK);
        ASSERT_EQ(ConfigurePort(port, 460800, 8, 0, 0, 1, 0), kS_OK);
        CommTimeouts t;
        ASSERT_EQ(device.GetTimeouts(m_hPort, t), 0);
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = 200;
        ASSERT_EQ(device.SetTimeouts(m_hPort, t), 0);
    }

    void TearDown() override {
        ClosePort(port);
        if (master_ >= 0) close(master_);
        unsetenv(kLockFolderVariable);
        if (!lockDir_.empty()) fs::remove_all(lockDir_);
    }

    int master_ = -1;
    std::u16string path_;
    fs::path lockDir_, lockFile_;  // the test's lock folder, the port's lock file in it
    test::EventLog log;
    test::RecordingPause pause{log};
    SerialDevice& device = SystemSerialDevice();
    PortHandle m_hPort = kInvalidPort;
    std::int32_t m_dwLastError = 0;
    std::u16string openName;
    Failure failure, openFailure;
    std::int32_t open = 0, init = 0, cancelOwed = 0;
    modem::ModemLine line;
    PortLayer port{device,      pause, m_hPort, m_dwLastError, openName, failure,
                   openFailure, open,  init,    cancelOwed,    line};
};

TEST_F(SerialDevicePosix, OpensConfiguresAndWritesExactlyTheCommandBytes) {
    ASSERT_EQ(OpenPort(port, path_), kS_OK);
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
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B460800));
    EXPECT_EQ(ReadTermios2(fd).c_ospeed, 460800u);
    // Nonblocking reads: nothing waits for a byte.
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 0);

    // Impossible line settings (each is checked on plain settings) are refused untouched.
    EXPECT_EQ(ConfigurePort(port, 0, 9, 0, 0, 1, 0), static_cast<HRESULT>(0x80070057u));
    EXPECT_EQ(m_dwLastError, 87);
    EXPECT_EQ(ReadTermios(fd).c_cflag, t.c_cflag);
    EXPECT_EQ(ReadTermios(fd).c_iflag, t.c_iflag);

    // The ESC that the open owes goes first, as a byte of its own.
    EXPECT_EQ(SettleOwedCancel(port), kS_OK);
    EXPECT_EQ(ReadFor(master_, 2, 5000), "\x1B");

    // Line ends pass unchanged (no output processing turns LF into CR LF), and a long command
    // arrives whole.
    std::string longCommand;
    for (int i = 0; i < 1023; ++i) longCommand.push_back(static_cast<char>('0' + i % 43));
    for (const std::string& command :
         {std::string("AT+CMGS=\"+31612345678\"\n\r\x1A\x80\xFF"), longCommand}) {
        EXPECT_EQ(WriteCommand(port, command), kS_OK);
        EXPECT_EQ(ReadFor(master_, command.size(), 5000), command);
        EXPECT_EQ(ReadFor(master_, 1, 100), "");
    }
    EXPECT_EQ(pause.pauses, (std::vector<std::uint32_t>{1000, 1000, 1000}));
}

TEST_F(SerialDevicePosix, ReadingTakesWhatTheModemSentAndNeverWaitsForMore) {
    // Blocking mode: a plain read would wait for a byte.
    ASSERT_EQ(OpenPort(port, path_), kS_OK);
    ASSERT_EQ(ConfigurePort(port, 115200, 8, 0, 0, 1, 1), kS_OK);
    char buffer[8];
    std::size_t got = 99;
    EXPECT_EQ(device.ReadWaiting(m_hPort, buffer, sizeof buffer, got), 0);
    EXPECT_EQ(got, 0u);
    // Answers come in parts of what the caller has room for.
    const std::string answer = "\r\nOK\r\n\r\n> ";
    ASSERT_EQ(write(master_, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    EXPECT_EQ(test::TakeWaiting(device, m_hPort, answer.size()), answer);
    EXPECT_EQ(device.ReadWaiting(m_hPort, buffer, sizeof buffer, got), 0);
    EXPECT_EQ(got, 0u);
    // The modem's side goes away: the read says the device is gone.
    close(master_);
    master_ = -1;
    EXPECT_NE(device.ReadWaiting(m_hPort, buffer, sizeof buffer, got), 0);
    EXPECT_EQ(got, 0u);
}

TEST_F(SerialDevicePosix, StateAndTimeoutsRoundTripThroughTheKernel) {
    // Opened through the device alone, for the port layer to close at the end.
    std::string why;
    ASSERT_EQ(device.Open(path_, m_hPort, why), 0);
    const PortHandle handle = m_hPort;
    ASSERT_EQ(device.ApplyDefaultConfig(path_, handle), 0);
    const int fd = static_cast<int>(handle);
    // What the port layer's own configuration leaves out: a free rate, two stop bits, software
    // flow control, parity checking. A pseudo terminal always carries 8 bits without parity.
    CommState s;
    ASSERT_EQ(device.GetState(handle, s), 0);
    s.BaudRate = 12345;
    s.StopBits = 2;
    s.fParity = s.fOutX = s.fInX = 1;
    // Fields that termios cannot hold come back as they were set.
    s.fDsrSensitivity = s.fAbortOnError = 1;
    s.XonLim = 77;
    s.EvtChar = '#';
    ASSERT_EQ(device.SetState(handle, s), 0);
    const termios t = ReadTermios(fd);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CRTSCTS | CSTOPB), CS8 | CSTOPB);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), IXON | IXOFF | INPCK);
    const KernelTermios2 t2 = ReadTermios2(fd);
    EXPECT_EQ(t2.c_cflag & CBAUD, 0010000u);  // the kernel's free rate
    EXPECT_EQ(t2.c_ospeed, 12345u);
    EXPECT_EQ(t2.c_ispeed, 12345u);
    CommState state;
    ASSERT_EQ(device.GetState(handle, state), 0);
    EXPECT_EQ(state, s);

    // Read time-outs reach the kernel as VMIN and VTIME, and come back as they were set.
    const CommTimeouts set{0, 10, 90000, 7, 8};
    ASSERT_EQ(device.SetTimeouts(handle, set), 0);
    EXPECT_EQ(ReadTermios(fd).c_cc[VMIN], 0);
    EXPECT_EQ(ReadTermios(fd).c_cc[VTIME], 255);
    CommTimeouts timeouts;
    ASSERT_EQ(device.GetTimeouts(handle, timeouts), 0);
    EXPECT_EQ(timeouts, set);
}

TEST_F(SerialDevicePosix, SecondOpenIsASharingViolationUntilTheCloseReleasesTheDescriptor) {
    ASSERT_EQ(OpenPort(port, path_), kS_OK);
    const int fd = static_cast<int>(m_hPort);
    PortHandle other = kInvalidPort;
    std::int32_t otherError = 0;
    std::int32_t otherOpen = 0, otherInit = 0, otherOwed = 0;
    modem::ModemLine otherLine;
    const PortLayer second{device,      pause,     other,     otherError, openName, failure,
                           openFailure, otherOpen, otherInit, otherOwed,  otherLine};
    EXPECT_EQ(OpenPort(second, path_), static_cast<HRESULT>(0x80070020u));
    EXPECT_EQ(otherError, 32);
    EXPECT_EQ(other, kInvalidPort);

    EXPECT_EQ(ClosePort(port), kS_OK);
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(OpenPort(second, path_), kS_OK);
    EXPECT_EQ(ClosePort(second), kS_OK);
}

TEST_F(SerialDevicePosix, PortTestReopensEveryTimeAndAHangUpClosesThePort) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(TestPort(port, path_, 460800), kS_OK);
        EXPECT_EQ(open, 1);
        EXPECT_EQ(init, 1);
    }
    EXPECT_EQ(WriteCommand(port, "AT\n\r"), kS_OK);
    // Each reopening wrote its ESC.
    EXPECT_EQ(ReadFor(master_, 7, 5000),
              "\x1B\x1B\x1B"
              "AT\n\r");

    close(master_);
    master_ = -1;
    const int fd = static_cast<int>(m_hPort);
    EXPECT_EQ(WriteCommand(port, "AT\n\r"), static_cast<HRESULT>(0x8007045Du));
    EXPECT_EQ(m_dwLastError, 0);
    // None after the failed write.
    EXPECT_EQ(pause.pauses, std::vector<std::uint32_t>(4, 1000));
    // The modem is gone: its descriptor is closed, the status says so, and so does a later write.
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(std::pair(open, init), std::pair(0, 0));
    EXPECT_EQ(WriteCommand(port, "AT\n\r"), kE_HANDLE);
    EXPECT_NE(failure.Text().find("was closed when its device went away"), std::string::npos)
        << failure.Text();
}

TEST_F(SerialDevicePosix, StalledLineEndsTheWriteShortAndNothingOfItComesLater) {
    // A line that is stopped (a modem holding CTS low) and one whose other side never reads.
    for (const bool stopped : {true, false}) {
        SCOPED_TRACE(stopped ? "stopped" : "never read");
        ASSERT_NO_FATAL_FAILURE(OpenWithShortLimit());
        const int fd = static_cast<int>(m_hPort);
        std::size_t filled = 0;
        if (stopped) {
            ASSERT_EQ(tcflow(fd, TCOOFF), 0);
        } else {
            filled = Fill(fd);
        }
        {
            // Ignoring the limit makes the rescue free the line and the write succeed.
            const int master = master_;
            test::Rescue rescue([=] {
                if (stopped) {
                    tcflow(fd, TCOON);
                } else {
                    ReadFor(master, filled, 100);
                }
            });
            EXPECT_EQ(WriteCommand(port, "AT+CMGS=\"+31612345678\"\n\r"),
                      static_cast<HRESULT>(0x8007001Du));
        }
        EXPECT_TRUE(pause.pauses.empty());

        // The line moves again: whatever arrives is the filler, never a byte of the command.
        if (stopped) {
            ASSERT_EQ(tcflow(fd, TCOON), 0);
        }
        const std::string got = ReadFor(master_, filled + 4096, 300);
        EXPECT_LE(got.size(), filled);
        EXPECT_EQ(got.find_first_not_of('f'), std::string::npos) << got.substr(0, 80);
        ASSERT_EQ(ClosePort(port), kS_OK);
    }
}

TEST_F(SerialDevicePosix, WhatTheKernelHeldForATimedOutWriteIsDropped) {
    ASSERT_NO_FATAL_FAILURE(OpenWithShortLimit());
    // More than a pseudo terminal holds: it takes a part, and the rest waits for a reader.
    const std::string data = Pattern(256 * 1024);
    std::size_t written = 0;
    {
        const int master = master_;
        test::Rescue rescue([=] { ReadFor(master, data.size(), 100); });
        ASSERT_EQ(device.Write(m_hPort, data.data(), data.size(), written), 0);
    }
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, data.size());
    // Only what had reached the other side before the time-out arrives, in order; the part the
    // kernel still held is gone.
    const std::string got = ReadFor(master_, data.size(), 300);
    EXPECT_EQ(got, data.substr(0, got.size()));
    EXPECT_LT(got.size(), written);
}

TEST_F(SerialDevicePosix, WriteLongerThanTheTerminalHoldsCompletesWhileTheOtherSideReads) {
    const std::string data = Pattern(256 * 1024);
    // No limit at all, and the limit that the configuration sets.
    for (const bool limited : {false, true}) {
        SCOPED_TRACE(limited);
        ASSERT_EQ(OpenPort(port, path_), kS_OK);
        if (limited) {
            ASSERT_EQ(ConfigurePort(port, 460800, 8, 0, 0, 1, 0), kS_OK);
        }
        std::string got;
        // The open's ESC comes first.
        std::thread modem([&] { got = ReadFor(master_, data.size() + 1, 5000); });
        EXPECT_EQ(WriteCommand(port, data), kS_OK);
        modem.join();
        EXPECT_TRUE(got == "\x1B" + data)
            << got.size() << " of " << data.size() + 1 << " bytes arrived";
        ASSERT_EQ(ClosePort(port), kS_OK);
    }
}

TEST_F(SerialDevicePosix, LockFileNamesOurProcessWhileOpenUnderAnyNameOfTheDevice) {
    // A link to the terminal, as socat makes one: the lock is the device's, not the link's.
    const fs::path link = lockDir_ / "ttyV0";
    fs::create_symlink(Utf16ToUtf8(path_), link);
    ASSERT_EQ(OpenPort(port, Utf8ToUtf16(link.string())), kS_OK);
    EXPECT_EQ(Slurp(lockFile_), FormatLockPid(getpid()));

    // The terminal's own name finds the lock taken.
    PortHandle other = kInvalidPort;
    std::int32_t otherError = 0, otherOpen = 0, otherInit = 0, otherCancelOwed = 0;
    modem::ModemLine otherLine;
    const PortLayer second{device,      pause,     other,     otherError,      openName, failure,
                           openFailure, otherOpen, otherInit, otherCancelOwed, otherLine};
    EXPECT_EQ(OpenPort(second, path_), static_cast<HRESULT>(0x80070020u));

    EXPECT_EQ(ClosePort(port), kS_OK);
    EXPECT_FALSE(fs::exists(lockFile_));
    EXPECT_EQ(std::distance(fs::directory_iterator(lockDir_), fs::directory_iterator()), 1)
        << "only the link is left";
}

TEST_F(SerialDevicePosix, LiveLockFileRefusesTheOpenNamingItsHolderAndStaysAsItWas) {
    // Process 1 always runs; its lock is written as another program writes it, unpadded.
    std::ofstream(lockFile_, std::ios::binary) << "1\n";
    EXPECT_EQ(OpenPort(port, path_), static_cast<HRESULT>(0x80070020u));
    EXPECT_EQ(m_hPort, kInvalidPort);
    EXPECT_EQ(failure.Text(), "cannot open port " + Utf16ToUtf8(path_) +
                                  ": in use by another program (process 1 holds the lock file " +
                                  lockFile_.string() + ")");
    // The message of a later send says why no port is open, with the holder.
    EXPECT_EQ(WriteCommand(port, "AT\r"), kE_HANDLE);
    EXPECT_NE(failure.Text().find("process 1 holds the lock file"), std::string::npos)
        << failure.Text();
    EXPECT_EQ(Slurp(lockFile_), "1\n");
    EXPECT_EQ(ReadFor(master_, 1, 50), "");
    // Files the open made on the way are gone too.
    EXPECT_EQ(std::distance(fs::directory_iterator(lockDir_), fs::directory_iterator()), 1);
}

TEST_F(SerialDevicePosix, HolderKilledWithoutClosingLeavesAPortTheNextOpenerTakes) {
    // The child opens the port and ends without closing it, as a process killed with -9: the
    // kernel closes its descriptor, but neither the exclusive mode nor the lock file is undone.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PortHandle handle = kInvalidPort;
        std::string why;
        _exit(device.Open(path_, handle, why) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(Slurp(lockFile_), FormatLockPid(child));

    // The terminal is not left exclusive: an unprivileged opener would be refused for good.
    const int probe = ::open(Utf16ToUtf8(path_).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    int exclusive = -1;
    ASSERT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(probe);

    // The stale lock file is taken over.
    ASSERT_EQ(OpenPort(port, path_), kS_OK);
    EXPECT_EQ(Slurp(lockFile_), FormatLockPid(getpid()));
}

TEST_F(SerialDevicePosix, AnythingButATerminalIsRefusedAndLeftUntouched) {
    std::string pattern = (fs::temp_directory_path() / "merel-port-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern, file = dir / "SMSMgr.ini";
    std::ofstream(file, std::ios::binary) << "[Port]\r\nPort=COM1\r\n";

    // A regular file, a folder and a character device that is no terminal.
    for (const fs::path& name : {file, dir, fs::path("/dev/null")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(OpenPort(port, Utf8ToUtf16(name.string())), static_cast<HRESULT>(0x800704B0u));
        EXPECT_EQ(m_dwLastError, 1200);
        EXPECT_EQ(m_hPort, kInvalidPort);
        EXPECT_EQ(WriteCommand(port, "AT$RESET"), kE_HANDLE);
    }
    EXPECT_EQ(Slurp(file), "[Port]\r\nPort=COM1\r\n");

    // A missing device, a missing folder and no name at all give the Windows errors.
    for (const auto& [name, error, result] :
         {std::tuple{(dir / "ttyNone").string(), 2, 0x80070002u},
          std::tuple{(dir / "none" / "ttyNone").string(), 3, 0x80070003u},
          std::tuple{std::string(), 2, 0x80070002u}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(OpenPort(port, Utf8ToUtf16(name)), static_cast<HRESULT>(result));
        EXPECT_EQ(m_dwLastError, error);
        EXPECT_EQ(m_hPort, kInvalidPort);
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace merel
