// The Windows settings file backend on real files in a private temporary folder.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

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
    DWORD OpenErrorForOthers() const {
        const HANDLE h =
            ::CreateFileW(reinterpret_cast<const wchar_t*>(path_.c_str()), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
        ::CloseHandle(h);
        return 0;
    }

    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    HRESULT Save(const std::u16string& path) { return SaveIniFile(access_, path, {u"COM1"}); }
    HRESULT Load(SettingsRecord& record) { return LoadIniFile(access_, path_, record); }

    static inline int counter_ = 0;
    SettingsFileSystem& files_ = SystemSettingsFileSystem();
    FileHandle file_ = kNoFile;
    fs::path dir_;
    std::u16string path_;  // SMSMgr.ini in the folder
    FileHandle fileIni_ = kNoFile;
    std::int32_t lastError_ = 0;
    const SettingsFileAccess access_{files_, fileIni_, lastError_};
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

TEST_F(SettingsFileWin32, SaveReplacesTheWholeFileAndLeavesNothingBesideIt) {
    for (const std::string& before :
         {std::string(), std::string(1000, '#') + "\r\n"
                                                  "SMSCharacterSet:1\r\n"}) {
        SCOPED_TRACE(before.size());
        if (!before.empty()) Put(before);
        ASSERT_EQ(Save(path_), kS_OK);
        const std::string bytes = Get();
        EXPECT_EQ(bytes.size(), 242u);
        EXPECT_EQ(bytes.substr(0, 11), "Port:COM1\r\n");
        EXPECT_EQ(Listing(), std::vector<std::string>{"SMSMgr.ini"});

        SettingsRecord loaded{u"before", 1, 2, 3, 4, 5, 6, 7};
        ASSERT_EQ(Load(loaded), kS_OK);
        EXPECT_EQ(loaded, SettingsRecord{u"COM1"});
        EXPECT_EQ(fileIni_, kNoFile);
    }
}

TEST_F(SettingsFileWin32, FailedSaveLeavesTheFileAndTheFolderAsTheyWere) {
    const std::string old = "Port:COM9\r\nSMSCharacterSet:1\r\n";
    const auto wide = [](const fs::path& p) { return p.wstring(); };
    const HRESULT denied = static_cast<HRESULT>(0x80070005u);
    struct Case {
        const char* what;
        bool held, readOnly, tempTaken;
        HRESULT result;
    };
    for (const Case& c :
         {Case{"held by another", true, false, false, static_cast<HRESULT>(0x80070020u)},
          Case{"read-only file", false, true, false, denied},
          Case{"a folder in the new file's place", false, false, true, denied}}) {
        SCOPED_TRACE(c.what);
        Put(old);
        if (c.tempTaken) fs::create_directory(dir_ / "SMSMgr.ini.new");
        const auto before = Listing();
        if (c.readOnly)
            ::SetFileAttributesW(wide(dir_ / "SMSMgr.ini").c_str(), FILE_ATTRIBUTE_READONLY);
        const HANDLE other =
            c.held ? ::CreateFileW(wide(dir_ / "SMSMgr.ini").c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                   : INVALID_HANDLE_VALUE;
        EXPECT_EQ(Save(path_), c.result);
        if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
        ::SetFileAttributesW(wide(dir_ / "SMSMgr.ini").c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(Get(), old);
        EXPECT_EQ(Listing(), before);
        std::error_code ignored;
        fs::remove(dir_ / "SMSMgr.ini.new", ignored);
    }
    EXPECT_EQ(Save((dir_ / "no-folder" / "SMSMgr.ini").u16string()),
              static_cast<HRESULT>(0x80070003u));
    EXPECT_FALSE(fs::exists(dir_ / "no-folder"));
}

TEST_F(SettingsFileWin32, LoadRefusesFilesOver64KiBWithoutReadingThem) {
    const std::string tail = "SMSCharacterSet:1\r\n";
    const HRESULT tooLarge = static_cast<HRESULT>(0x800700DFu);
    struct Case {
        std::uintmax_t size;
        HRESULT result;
    };
    for (const Case& c : {Case{65536, kS_OK}, Case{65537, tooLarge}, Case{100u << 20, tooLarge}}) {
        SCOPED_TRACE(c.size);
        // The one setting stands at the very end, so it counts only if all was read. Beyond
        // 64 KiB the file is a hole up to its last line and costs no disk space.
        Put(std::string(65536 - tail.size() - 2, '#') + "\r\n");
        fs::resize_file(dir_ / "SMSMgr.ini", c.size - tail.size());
        std::ofstream(dir_ / "SMSMgr.ini", std::ios::binary | std::ios::app) << tail;
        ASSERT_EQ(fs::file_size(dir_ / "SMSMgr.ini"), c.size);
        SettingsRecord record{u"before"};
        EXPECT_EQ(Load(record), c.result);
        EXPECT_EQ(record.characterSet, c.result == kS_OK ? 1 : 0);
        EXPECT_EQ(fileIni_, kNoFile);
    }
}

}  // namespace
}  // namespace merel
