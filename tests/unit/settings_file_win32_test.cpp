// The Windows settings file backend on real files in a private temporary folder.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/hresult.h"
#include "settings/settings_file.h"
#include "settings/settings_io.h"

namespace merel {
namespace {

const wchar_t* W(const std::u16string& s) {
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

class SettingsFileWin32 : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_NE(::GetTempPathW(MAX_PATH + 1, temp), 0u);
        dir_ = reinterpret_cast<const char16_t*>(temp);
        dir_ += u"merel-settings-" + ToU16(std::to_string(::GetCurrentProcessId())) + u"-" +
                ToU16(std::to_string(++counter_)) + u"\\";
        ASSERT_TRUE(::CreateDirectoryW(W(dir_), nullptr)) << ::GetLastError();
    }
    void TearDown() override {
        if (file_ != kNoFile) files_.Close(file_);
        for (const auto* name : {u"SMSMgr.ini", u"other.ini"}) ::DeleteFileW(W(Path(name)));
        ::RemoveDirectoryW(W(dir_));
    }

    static std::u16string ToU16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }
    std::u16string Path(const char16_t* name) const { return dir_ + name; }

    static void Put(const std::u16string& path, const std::string& bytes) {
        const HANDLE h = ::CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << ::GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(
            ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ::CloseHandle(h);
    }
    static std::string Get(const std::u16string& path) {
        const HANDLE h = ::CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return "<cannot open>";
        std::string bytes(::GetFileSize(h, nullptr), '\0');
        DWORD read = 0;
        if (!bytes.empty()) {
            ::ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
        }
        ::CloseHandle(h);
        bytes.resize(read);
        return bytes;
    }
    static bool Exists(const std::u16string& path) {
        return ::GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES;
    }
    // What another program gets when it opens the file, even with full sharing.
    static DWORD OpenErrorForOthers(const std::u16string& path) {
        const HANDLE h = ::CreateFileW(W(path), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
        ::CloseHandle(h);
        return 0;
    }

    std::u16string ReadWhole(const std::u16string& path) {
        EXPECT_EQ(files_.OpenForRead(path, file_), 0);
        std::u16string text = files_.ReadText(file_);
        files_.Close(file_);
        EXPECT_EQ(file_, kNoFile);
        return text;
    }
    std::int32_t WriteWhole(const std::u16string& path, const std::string& bytes) {
        if (const auto e = files_.OpenForWrite(path, file_); e != 0) return e;
        const auto e = files_.WriteAll(file_, bytes);
        files_.Close(file_);
        return e;
    }

    static inline int counter_ = 0;
    SettingsFileSystem& files_ = SystemSettingsFileSystem();
    FileHandle file_ = kNoFile;
    std::u16string dir_;
};

TEST_F(SettingsFileWin32, ReadsTheWholeFile) {
    const auto path = Path(u"SMSMgr.ini");
    Put(path, "Port:COM1\r\nBaudrate:9600\r\n");
    EXPECT_EQ(ReadWhole(path), u"Port:COM1\r\nBaudrate:9600\r\n");

    // Longer than one allocation granule of a mapping.
    std::string big;
    for (int i = 0; i < 12000; ++i) big += "line " + std::to_string(i) + "\r\n";
    ASSERT_GT(big.size(), 65536u);
    Put(path, big);
    EXPECT_EQ(ReadWhole(path), ToU16(big));
}

TEST_F(SettingsFileWin32, DecodesWithTheAnsiCodePage) {
    if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP();
    const auto path = Path(u"SMSMgr.ini");
    Put(path, "Port:COM\xE9\x80");
    EXPECT_EQ(ReadWhole(path), u"Port:COM\u00E9\u20AC");
}

TEST_F(SettingsFileWin32, TextEndsAtTheFirstNulByteAndAnEmptyFileIsEmpty) {
    const auto path = Path(u"SMSMgr.ini");
    Put(path, std::string("Port:A\r\n\0Baudrate:1\r\n", 22));
    EXPECT_EQ(ReadWhole(path), u"Port:A\r\n");
    Put(path, std::string("\0Port:A", 7));
    EXPECT_EQ(ReadWhole(path), u"");
    Put(path, "");
    EXPECT_EQ(ReadWhole(path), u"");
}

TEST_F(SettingsFileWin32, OpenErrorsAndNothingCreated) {
    const auto missing = Path(u"SMSMgr.ini");
    EXPECT_EQ(files_.OpenForRead(missing, file_), win32::kFileNotFound);
    EXPECT_EQ(file_, kNoFile);
    EXPECT_EQ(files_.OpenForRead(dir_ + u"no-folder\\SMSMgr.ini", file_), win32::kPathNotFound);
    EXPECT_EQ(files_.OpenForWrite(dir_ + u"no-folder\\SMSMgr.ini", file_), win32::kPathNotFound);
    EXPECT_EQ(files_.OpenForRead(u"", file_), win32::kPathNotFound);
    EXPECT_EQ(files_.OpenForWrite(u"", file_), win32::kPathNotFound);
    EXPECT_EQ(file_, kNoFile);
    EXPECT_FALSE(Exists(missing));

    FileHandle fileIni = kNoFile;
    std::int32_t lastError = 7;
    SettingsRecord record;
    EXPECT_EQ(LoadIniFile({files_, fileIni, lastError}, missing, record),
              static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(lastError, 0);
    EXPECT_EQ(fileIni, kNoFile);
    EXPECT_FALSE(Exists(missing));
}

TEST_F(SettingsFileWin32, OpenFileIsExclusive) {
    const auto path = Path(u"SMSMgr.ini");
    Put(path, "Port:COM1\r\n");

    ASSERT_EQ(files_.OpenForRead(path, file_), 0);
    EXPECT_EQ(OpenErrorForOthers(path), static_cast<DWORD>(win32::kSharingViolation));
    files_.Close(file_);
    EXPECT_EQ(OpenErrorForOthers(path), 0u);

    ASSERT_EQ(files_.OpenForWrite(path, file_), 0);
    EXPECT_EQ(OpenErrorForOthers(path), static_cast<DWORD>(win32::kSharingViolation));
    files_.Close(file_);

    // A file that someone else holds cannot be opened, and the refused write open leaves it.
    const HANDLE other = ::CreateFileW(W(path), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(files_.OpenForRead(path, file_), win32::kSharingViolation);
    EXPECT_EQ(files_.OpenForWrite(path, file_), win32::kSharingViolation);
    EXPECT_EQ(file_, kNoFile);
    ::CloseHandle(other);
    EXPECT_EQ(Get(path), "Port:COM1\r\n");
}

TEST_F(SettingsFileWin32, WriteLeavesExactlyTheNewBytes) {
    const auto path = Path(u"SMSMgr.ini");
    EXPECT_EQ(WriteWhole(path, "short\r\n"), 0);
    EXPECT_EQ(Get(path), "short\r\n");

    Put(path, std::string(5000, 'L'));
    EXPECT_EQ(WriteWhole(path, "Port:COM1\r\n"), 0);
    EXPECT_EQ(Get(path), "Port:COM1\r\n");

    EXPECT_EQ(WriteWhole(path, std::string(300, 'x')), 0);
    EXPECT_EQ(Get(path), std::string(300, 'x'));
}

TEST_F(SettingsFileWin32, SaveAndLoadThroughTheRealFile) {
    const auto path = Path(u"SMSMgr.ini");
    Put(path, std::string(1000, '#'));
    FileHandle fileIni = kNoFile;
    std::int32_t lastError = 0;
    const SettingsFileAccess access{files_, fileIni, lastError};
    SettingsRecord record;
    record.port = u"COM1";
    ASSERT_EQ(SaveIniFile(access, path, record), kS_OK);
    const std::string bytes = Get(path);
    EXPECT_EQ(bytes.size(), 242u);
    EXPECT_EQ(bytes.substr(0, 11), "Port:COM1\r\n");

    record.port = u" COM 9 ";
    record.dataBits = 16;
    record.parity = -1;
    record.baudrate = 115200;
    ASSERT_EQ(SaveIniFile(access, path, record), kS_OK);
    SettingsRecord loaded;
    ASSERT_EQ(LoadIniFile(access, path, loaded), kS_OK);
    EXPECT_EQ(loaded, record);
    EXPECT_EQ(fileIni, kNoFile);
}

}  // namespace
}  // namespace merel
