// The POSIX settings file backend on real files in a private temporary folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/hresult.h"
#include "base/narrow.h"
#include "settings/settings_file.h"
#include "settings/settings_io.h"

namespace merel {
namespace {

namespace fs = std::filesystem;

class SettingsFilePosix : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "merel-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (file_ != kNoFile) files_.Close(file_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static std::u16string Wide(const std::string& path) { return Utf8ToUtf16(path); }

    static void Put(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::u16string ReadWhole(const std::string& path) {
        EXPECT_EQ(files_.OpenForRead(Wide(path), file_), 0);
        std::u16string text = files_.ReadText(file_);
        files_.Close(file_);
        EXPECT_EQ(file_, kNoFile);
        return text;
    }

    std::int32_t WriteWhole(const std::string& path, const std::string& bytes) {
        if (const auto e = files_.OpenForWrite(Wide(path), file_); e != 0) return e;
        const auto e = files_.WriteAll(file_, bytes);
        files_.Close(file_);
        return e;
    }

    SettingsFileSystem& files_ = SystemSettingsFileSystem();
    FileHandle file_ = kNoFile;
    fs::path dir_;
};

TEST_F(SettingsFilePosix, ReadsTheWholeFileAsLatin1) {
    const std::string path = Path("SMSMgr.ini");
    Put(path, "Port:COM\xE9\r\nX\x80\xFF");
    EXPECT_EQ(ReadWhole(path), u"Port:COM\u00E9\r\nX\u0080\u00FF");

    std::string big;
    for (int i = 0; i < 3000; ++i) big += "line " + std::to_string(i) + "\r\n";
    ASSERT_GT(big.size(), 20000u);
    Put(path, big);
    EXPECT_EQ(ReadWhole(path), WidenLatin1(big));
}

TEST_F(SettingsFilePosix, TextEndsAtTheFirstNulByte) {
    const std::string path = Path("SMSMgr.ini");
    Put(path, std::string("Port:A\r\n\0Baudrate:1\r\n", 22));
    EXPECT_EQ(ReadWhole(path), u"Port:A\r\n");
    Put(path, std::string("\0Port:A", 7));
    EXPECT_EQ(ReadWhole(path), u"");
    Put(path, "");
    EXPECT_EQ(ReadWhole(path), u"");
}

TEST_F(SettingsFilePosix, OpenErrorsAreWin32Numbers) {
    const std::string missing = Path("missing.ini");
    const std::string noFolder = Path("no-folder/SMSMgr.ini");
    Put(Path("plain"), "x");
    const std::string underFile = Path("plain/SMSMgr.ini");

    EXPECT_EQ(files_.OpenForRead(Wide(missing), file_), win32::kFileNotFound);
    EXPECT_EQ(file_, kNoFile);
    EXPECT_EQ(files_.OpenForRead(Wide(noFolder), file_), win32::kPathNotFound);
    EXPECT_EQ(files_.OpenForWrite(Wide(noFolder), file_), win32::kPathNotFound);
    EXPECT_EQ(files_.OpenForRead(Wide(underFile), file_), win32::kPathNotFound);
    EXPECT_EQ(files_.OpenForWrite(Wide(underFile), file_), win32::kPathNotFound);
    EXPECT_EQ(files_.OpenForRead(u"", file_), win32::kPathNotFound);
    EXPECT_EQ(files_.OpenForWrite(u"", file_), win32::kPathNotFound);
    EXPECT_EQ(files_.OpenForRead(Wide(dir_.string()), file_), win32::kAccessDenied);
    EXPECT_EQ(files_.OpenForWrite(Wide(dir_.string()), file_), win32::kAccessDenied);
    EXPECT_EQ(file_, kNoFile);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(fs::exists(Path("no-folder")));
}

TEST_F(SettingsFilePosix, MissingFileThroughLoadIsFileNotFound) {
    FileHandle fileIni = kNoFile;
    std::int32_t lastError = 7;
    SettingsRecord record;
    EXPECT_EQ(LoadIniFile({files_, fileIni, lastError}, Wide(Path("SMSMgr.ini")), record),
              static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(lastError, 0);
    EXPECT_EQ(record, SettingsRecord{});
    EXPECT_FALSE(fs::exists(Path("SMSMgr.ini")));
}

TEST_F(SettingsFilePosix, OpenFileIsExclusive) {
    const std::string path = Path("SMSMgr.ini");
    Put(path, "Port:COM1\r\n");

    // Another open file that holds the lock keeps both kinds of open out, and the refused
    // write open leaves the content alone.
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(files_.OpenForRead(Wide(path), file_), win32::kSharingViolation);
    EXPECT_EQ(file_, kNoFile);
    EXPECT_EQ(files_.OpenForWrite(Wide(path), file_), win32::kSharingViolation);
    EXPECT_EQ(file_, kNoFile);
    ::close(other);
    EXPECT_EQ(Get(path), "Port:COM1\r\n");

    // While the backend holds the file, nobody else can lock it; after the close they can.
    ASSERT_EQ(files_.OpenForRead(Wide(path), file_), 0);
    EXPECT_NE(file_, kNoFile);
    FileHandle second = kNoFile;
    EXPECT_EQ(files_.OpenForWrite(Wide(path), second), win32::kSharingViolation);
    const int probe = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0);
    files_.Close(file_);
    EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), 0);
    ::close(probe);
}

TEST_F(SettingsFilePosix, WriteLeavesExactlyTheNewBytes) {
    const std::string path = Path("SMSMgr.ini");
    EXPECT_EQ(WriteWhole(path, "short\r\n"), 0);
    EXPECT_EQ(Get(path), "short\r\n");

    Put(path, std::string(5000, 'L'));
    EXPECT_EQ(WriteWhole(path, "Port:COM1\r\n"), 0);
    EXPECT_EQ(Get(path), "Port:COM1\r\n");

    EXPECT_EQ(WriteWhole(path, std::string(300, 'x') + "\xE9"), 0);
    EXPECT_EQ(Get(path), std::string(300, 'x') + "\xE9");
}

TEST_F(SettingsFilePosix, FailedWriteDoesNotCutTheFile) {
    const std::string path = Path("SMSMgr.ini");
    const std::string old(4000, 'o');
    Put(path, old);
    ASSERT_EQ(files_.OpenForWrite(Wide(path), file_), 0);
    // The child may write only the first 10 bytes of any file, so the write fails part way.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{10, 10};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const auto e = files_.WriteAll(file_, std::string(200, 'n'));
        ::_exit(e != 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write should have failed";
    EXPECT_EQ(fs::file_size(path), old.size());
}

}  // namespace
}  // namespace merel
