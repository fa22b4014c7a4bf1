// The Windows serial device on real COM ports. The test harness maps two COM ports to the two
// ends of a pseudo-terminal pair and names them in MEREL_TEST_COM_WRITE and MEREL_TEST_COM_READ
// (MEREL_TEST_COM_HIGH: a port from COM10 up on the writing end); without them the port tests
// are skipped. Files and missing ports need no harness.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "base/narrow.h"
#include "fakes.h"
#include "rescue.h"
#include "port/serial_port.h"

namespace merel {
namespace {

std::u16string EnvPort(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::u16string() : Utf8ToUtf16(value);
}

const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// The modem's end: opened directly with the platform calls, reading with short time-outs.
class ReadEnd {
  public:
    explicit ReadEnd(const std::u16string& name) {
        handle_ = CreateFileW(Wide(u"\\\\.\\" + name), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
        // Return as soon as bytes are there, or after 100 ms without any.
        COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 100, 0, 0};
        EXPECT_TRUE(handle_ != INVALID_HANDLE_VALUE && SetCommTimeouts(handle_, &t))
            << "cannot open or set up the reading port, error " << GetLastError();
    }
    ~ReadEnd() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }

    // Up to `size` bytes, or fewer when none arrive for the rest of `limitMs`.
    std::string Read(std::size_t size, ULONGLONG limitMs) {
        std::string got;
        const ULONGLONG end = GetTickCount64() + limitMs;
        while (handle_ != INVALID_HANDLE_VALUE && got.size() < size && GetTickCount64() < end) {
            char buffer[256];
            DWORD n = 0;
            const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, size - got.size()));
            if (!ReadFile(handle_, buffer, want, &n, nullptr)) {
                ADD_FAILURE() << "ReadFile failed, error " << GetLastError();
                break;
            }
            got.append(buffer, n);
        }
        return got;
    }

    // The modem answers.
    void Write(const std::string& bytes) {
        DWORD n = 0;
        EXPECT_TRUE(
            WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
            n == bytes.size())
            << "cannot write to the reading port, error " << GetLastError();
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class SerialDeviceWin32 : public ::testing::Test {
  protected:
    void TearDown() override { ClosePort(port); }

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

class SerialDeviceWin32Ports : public SerialDeviceWin32 {
  protected:
    void SetUp() override {
        writeName = EnvPort("MEREL_TEST_COM_WRITE");
        readName = EnvPort("MEREL_TEST_COM_READ");
        if (writeName.empty() || readName.empty()) {
            GTEST_SKIP() << "MEREL_TEST_COM_WRITE and MEREL_TEST_COM_READ name no COM ports";
        }
    }

    // Configures as the manager does and checks what the port then holds, the write limit
    // included.
    void ConfigureAndCheck(std::uint32_t baudrate, DWORD writeMultiplier) {
        ASSERT_EQ(ConfigurePort(port, baudrate, 8, 0, 0, 1, 0), kS_OK) << m_dwLastError;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(reinterpret_cast<HANDLE>(m_hPort), &dcb)) << GetLastError();
        // Baud rate, 8N1, and the handshake's CTS, XON and XOFF halves. The RTS half is not
        // checked: Wine does not report it back for a pseudo terminal.
        EXPECT_EQ(std::tuple(dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits,
                             DWORD{dcb.fOutxCtsFlow}, DWORD{dcb.fOutX}, DWORD{dcb.fInX}),
                  std::tuple(baudrate, 8, NOPARITY, ONESTOPBIT, 1u, 0u, 0u));
        COMMTIMEOUTS t{};
        ASSERT_TRUE(GetCommTimeouts(reinterpret_cast<HANDLE>(m_hPort), &t)) << GetLastError();
        EXPECT_EQ(std::tuple(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                             t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                             t.WriteTotalTimeoutConstant),
                  std::tuple(MAXDWORD, 0u, 0u, writeMultiplier, 10000u));
    }

    std::u16string writeName, readName;
};

TEST_F(SerialDeviceWin32Ports, OpensConfiguresWritesAndReopensIncludingFromCom10Up) {
    ReadEnd modem(readName);
    ASSERT_EQ(OpenPort(port, writeName), kS_OK) << m_dwLastError;
    EXPECT_EQ(m_dwLastError, 0);
    ConfigureAndCheck(460800, 2);

    // The ESC that the open owes goes before the first command, with a pause of its own.
    const std::string command = "AT+CMGS=\"+31612345678\"\n\r\x1A\x80\xFF";
    EXPECT_EQ(WriteCommand(port, command), kS_OK);
    EXPECT_EQ(pause.pauses, (std::vector<std::uint32_t>{1000, 1000}));
    EXPECT_EQ(modem.Read(command.size() + 1, 5000), "\x1B" + command);
    EXPECT_EQ(modem.Read(1, 200), "");

    // The port test closes the same port and opens it again, every time.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(TestPort(port, writeName, 115200), kS_OK) << m_dwLastError;
        EXPECT_EQ(open, 1);
        EXPECT_EQ(init, 1);
    }
    EXPECT_EQ(WriteCommand(port, "AT$RESET"), kS_OK);
    EXPECT_EQ(modem.Read(10, 5000),
              "\x1B\x1B"
              "AT$RESET");  // each reopening's ESC first
    EXPECT_EQ(ClosePort(port), kS_OK);
    EXPECT_EQ(m_hPort, kInvalidPort);

    // A port from COM10 up, on the same end, opens by its plain name. The plain name alone
    // opens no such port: it is taken for a file name.
    const std::u16string high = EnvPort("MEREL_TEST_COM_HIGH");
    if (high.empty()) GTEST_SKIP() << "MEREL_TEST_COM_HIGH names no port";
    const HANDLE plain = CreateFileW(Wide(high), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(plain, INVALID_HANDLE_VALUE);
    if (plain != INVALID_HANDLE_VALUE) CloseHandle(plain);
    // Wine keeps default configurations for COM1 to COM9 only (error 1010 above them); the
    // port is open either way, so the port test goes on to configure it.
    EXPECT_EQ(TestPort(port, high, 9600), kS_OK) << m_dwLastError;
    EXPECT_EQ(open, 1);
    EXPECT_EQ(init, 1);
    ASSERT_NE(m_hPort, kInvalidPort);
    ConfigureAndCheck(9600, 4);
    EXPECT_EQ(WriteCommand(port, "ATZ\n\r"), kS_OK);
    EXPECT_EQ(modem.Read(6, 5000),
              "\x1B"
              "ATZ\n\r");
}

TEST_F(SerialDeviceWin32Ports, WriteToALineThatIsNeverReadEndsShortWithinItsLimit) {
    ReadEnd modem(readName);
    ASSERT_EQ(OpenPort(port, writeName), kS_OK) << m_dwLastError;
    ASSERT_EQ(ConfigurePort(port, 460800, 8, 0, 0, 1, 0), kS_OK) << m_dwLastError;
    CommTimeouts t;
    ASSERT_EQ(device.GetTimeouts(m_hPort, t), 0);
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 500;
    ASSERT_EQ(device.SetTimeouts(m_hPort, t), 0);
    // The open's ESC, out of the way.
    ASSERT_EQ(SettleOwedCancel(port), kS_OK);
    pause.pauses.clear();

    // More than the terminals and the relay between them hold while nobody reads.
    const std::string command(4 * 1024 * 1024, 'f');
    const ULONGLONG start = GetTickCount64();
    {
        test::Rescue rescue([&] { modem.Read(command.size(), 2000); });
        EXPECT_EQ(WriteCommand(port, command), static_cast<HRESULT>(0x8007001Du));
    }
    EXPECT_LT(GetTickCount64() - start, 10000u);
    EXPECT_TRUE(pause.pauses.empty());
    modem.Read(command.size(), 1000);  // leaves the line empty for whatever comes next
}

TEST_F(SerialDeviceWin32, FilesFoldersAndMissingPortsAreRefused) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() /
                         ("merel-port-" + std::to_string(GetCurrentProcessId())),
                   file = dir / "SMSMgr.ini";
    ASSERT_TRUE(fs::create_directory(dir));
    std::ofstream(file, std::ios::binary) << "[Port]\r\nPort=COM1\r\n";

    for (const fs::path& name : {file, dir}) {
        SCOPED_TRACE(name.string());
        EXPECT_EQ(OpenPort(port, name.u16string()), static_cast<HRESULT>(0x800704B0u));
        EXPECT_EQ(m_dwLastError, 1200);
        EXPECT_EQ(m_hPort, kInvalidPort);
        EXPECT_EQ(WriteCommand(port, "AT$RESET"), kE_HANDLE);
    }
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "[Port]\r\nPort=COM1\r\n");
    in.close();
    fs::remove_all(dir);

    for (const char16_t* name : {u"COM8", u"COM77"}) {
        SCOPED_TRACE(Utf16ToUtf8(name));
        EXPECT_EQ(OpenPort(port, name), static_cast<HRESULT>(0x80070002u));
        EXPECT_EQ(m_dwLastError, 2);
        EXPECT_EQ(m_hPort, kInvalidPort);
    }
}

TEST_F(SerialDeviceWin32Ports, ReadingTakesWhatTheModemSentAndNeverWaitsForMore) {
    ReadEnd modem(readName);
    ASSERT_EQ(OpenPort(port, writeName), kS_OK) << m_dwLastError;
    // Blocking mode: a plain ReadFile would wait for a byte.
    ASSERT_EQ(ConfigurePort(port, 115200, 8, 0, 0, 1, 1), kS_OK) << m_dwLastError;
    char buffer[8];
    std::size_t got = 99;
    EXPECT_EQ(device.ReadWaiting(m_hPort, buffer, sizeof buffer, got), 0);
    EXPECT_EQ(got, 0u);
    const std::string answer = "\r\nOK\r\n\r\n> ";
    modem.Write(answer);
    EXPECT_EQ(test::TakeWaiting(device, m_hPort, answer.size()), answer);
    EXPECT_EQ(device.ReadWaiting(m_hPort, buffer, sizeof buffer, got), 0);
    EXPECT_EQ(got, 0u);
}

}  // namespace
}  // namespace merel
