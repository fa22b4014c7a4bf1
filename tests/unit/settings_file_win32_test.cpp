// The Windows settings file backend on real files in a private temporary folder.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "base/hresult.h"
#include "settings/settings_file.h"
#include "settings/settings_io.h"

namespace merel {
namespace {

namespace fs = std::filesystem;

class SettingsFileWin32 : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("merel-settings-" + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(++counter_));
        ASSERT_TRUE(fs::create_directory(dir_));
        path_ = (dir_ / "SMSMgr.ini").u16string();
    }
    void TearDown() override {
        if (file_ != kNoFile) files_.Close(file_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    void Put(const std::string& bytes) const {
        std::ofstream(dir_ / "SMSMgr.ini", std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string Get() const {
        std::ifstream in(dir_ / "SMSMgr.ini", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::u16string ReadWhole() {
        EXPECT_EQ(files_.OpenForRead(path_, file_), 0);
        std::uint64_t size = 0;
        EXPECT_EQ(files_.Size(file_, size), 0);
        std::u16string text = files_.ReadText(file_, size);
        files_.Close(file_);
        EXPECT_EQ(file_, kNoFile);
        return text;
    }
    // What another program gets when it opens the file, even with full sharing.
    DWORD OpenErrorForOthers(DWORD access = GENERIC_READ) const {
        const HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(path_.c_str()), access,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
        ::CloseHandle(h);
        return 0;
    }

    static inline int counter_ = 0;
    SettingsFileSystem& files_ = SystemSettingsFileSystem();
    FileHandle file_ = kNoFile;
    fs::path dir_;
    std::u16string path_;  // SMSMgr.ini in the folder
};

TEST_F(SettingsFileWin32, WritesExactlyTheNewBytesAndReadsThemUpToTheFirstNul) {
    // Longer than one allocation granule of a mapping.
    std::string big;
    for (int i = 0; i < 12000; ++i) big += "line " + std::to_string(i) + "\r\n";
    ASSERT_GT(big.size(), 65536u);
    struct Case {
        std::string before, bytes;
        std::u16string text;
    };
    // Into a new file, then over longer and shorter ones.
    for (const Case& c :
         {Case{"", "Port:COM1\r\nBaudrate:9600\r\n", u"Port:COM1\r\nBaudrate:9600\r\n"},
          Case{std::string(5000, 'L'), "Port:COM1\r\n", u"Port:COM1\r\n"},
          Case{"x", big, std::u16string(big.begin(), big.end())},
          Case{"", std::string("Port:A\r\n\0Baudrate:1\r\n", 22), u"Port:A\r\n"},
          Case{"", std::string("\0Port:A", 7), u""}, Case{"", "", u""}}) {
        SCOPED_TRACE(c.bytes.substr(0, 20));
        if (!c.before.empty()) Put(c.before);
        ASSERT_EQ(files_.CreateForWrite(path_, file_), 0);
        EXPECT_EQ(files_.WriteAll(file_, c.bytes), 0);
        files_.Close(file_);
        EXPECT_EQ(Get(), c.bytes);
        EXPECT_EQ(ReadWhole(), c.text);
    }
}

TEST_F(SettingsFileWin32, DecodesWithTheAnsiCodePage) {
    if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP();
    Put("Port:COM\xE9\x80");
    EXPECT_EQ(ReadWhole(), u"Port:COM\u00E9\u20AC");
}

TEST_F(SettingsFileWin32, OpenErrorsAndNothingCreated) {
    EXPECT_EQ(files_.OpenForRead(path_, file_), win32::kFileNotFound);
    EXPECT_EQ(files_.OpenForWrite(path_, file_), win32::kFileNotFound);
    const std::u16string noFolder = (dir_ / "no-folder" / "SMSMgr.ini").u16string();
    for (const std::u16string& path : {noFolder, std::u16string()}) {
        EXPECT_EQ(files_.OpenForRead(path, file_), win32::kPathNotFound);
        EXPECT_EQ(files_.OpenForWrite(path, file_), win32::kPathNotFound);
        EXPECT_EQ(files_.CreateForWrite(path, file_), win32::kPathNotFound);
    }
    EXPECT_EQ(file_, kNoFile);
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(SettingsFileWin32, OpenFileIsExclusive) {
    Put("Port:COM1\r\n");
    ASSERT_EQ(files_.OpenForRead(path_, file_), 0);
    EXPECT_EQ(OpenErrorForOthers(), static_cast<DWORD>(win32::kSharingViolation));
    files_.Close(file_);
    EXPECT_EQ(OpenErrorForOthers(), 0u);
    ASSERT_EQ(files_.OpenForWrite(path_, file_), 0);
    EXPECT_EQ(OpenErrorForOthers(), static_cast<DWORD>(win32::kSharingViolation));
    files_.Close(file_);

    // A file that someone else holds cannot be opened, and the refused write open leaves it.
    const HANDLE other =
        ::CreateFileW(reinterpret_cast<const wchar_t*>(path_.c_str()), GENERIC_READ, 0, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(files_.OpenForRead(path_, file_), win32::kSharingViolation);
    EXPECT_EQ(files_.OpenForWrite(path_, file_), win32::kSharingViolation);
    EXPECT_EQ(file_, kNoFile);
    ::CloseHandle(other);
    EXPECT_EQ(Get(), "Port:COM1\r\n");
}

TEST_F(SettingsFileWin32, FailedSaveLeavesTheFileAndTheFolderAsTheyWere) {
    const std::string old = "Port:COM9\r\nSMSCharacterSet:1\r\n";
    const std::wstring file = (dir_ / "SMSMgr.ini").wstring();
    FileHandle fileIni = kNoFile;
    std::int32_t lastError = 0;
    Failure failure;
    const SettingsFileAccess access{files_, fileIni, lastError, failure};
    struct Case {
        bool held, readOnly;
        HRESULT result;
    };
    // Held by another program without sharing; marked read-only.
    for (const Case& c : {Case{true, false, static_cast<HRESULT>(0x80070020u)},
                          Case{false, true, static_cast<HRESULT>(0x80070005u)}}) {
        SCOPED_TRACE(c.result);
        Put(old);
        if (c.readOnly) {
            ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
            // Wine run by root opens read-only files for writing like any other.
            if (OpenErrorForOthers(GENERIC_WRITE) == 0) {
                ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
                GTEST_SKIP() << "this system lets us write read-only files";
            }
        }
        const HANDLE other = c.held ? ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                    : INVALID_HANDLE_VALUE;
        EXPECT_EQ(SaveIniFile(access, path_, {u"COM1"}), c.result);
        if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
        ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(Get(), old);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
    }
}

}  // namespace
}  // namespace merel
