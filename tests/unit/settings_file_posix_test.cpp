// The POSIX settings file backend on real files in a private temporary folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

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
        path_ = (dir_ / "SMSMgr.ini").string();
    }
    void TearDown() override {
        if (file_ != kNoFile) files_.Close(file_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::u16string Wide(const std::string& name) const {
        return Utf8ToUtf16((dir_ / name).string());
    }
    void Put(const std::string& bytes) const {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string Get() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    SettingsFileSystem& files_ = SystemSettingsFileSystem();
    FileHandle file_ = kNoFile;
    FileHandle fileIni_ = kNoFile;
    std::int32_t lastError_ = 0;
    Failure failure_;
    const SettingsFileAccess access_{files_, fileIni_, lastError_, failure_};
    fs::path dir_;
    std::string path_;  // SMSMgr.ini in the folder
};

TEST_F(SettingsFilePosix, WritesExactlyTheNewBytesAndReadsThemAsLatin1UpToTheFirstNul) {
    std::string big;
    for (int i = 0; i < 3000; ++i) big += "line " + std::to_string(i) + "\r\n";
    ASSERT_GT(big.size(), 20000u);
    struct Case {
        std::string before, bytes;
        std::u16string text;
    };
    // Into a new file, then over longer and shorter ones.
    for (const Case& c : {Case{"", "Port:COM\xE9\r\nX\x80\xFF", u"Port:COM\u00E9\r\nX\u0080\u00FF"},
                          Case{std::string(5000, 'L'), "Port:COM1\r\n", u"Port:COM1\r\n"},
                          Case{"x", big, WidenLatin1(big)},
                          Case{"", std::string("Port:A\r\n\0Baudrate:1\r\n", 22), u"Port:A\r\n"},
                          Case{"", std::string("\0Port:A", 7), u""}, Case{"", "", u""}}) {
        SCOPED_TRACE(c.bytes.substr(0, 20));
        if (!c.before.empty()) Put(c.before);
        ASSERT_EQ(files_.CreateForWrite(Wide("SMSMgr.ini"), file_), 0);
        EXPECT_EQ(files_.WriteAll(file_, c.bytes), 0);
        files_.Close(file_);
        EXPECT_EQ(Get(), c.bytes);
        // A limit beyond the end takes the whole file.
        ASSERT_EQ(files_.OpenForRead(Wide("SMSMgr.ini"), file_), 0);
        EXPECT_EQ(files_.ReadText(file_, kMaxSettingsFileBytes), c.text);
        files_.Close(file_);
        EXPECT_EQ(file_, kNoFile);
    }
    // A limit below the size takes only the start.
    Put("Port:COM1\r\n");
    ASSERT_EQ(files_.OpenForRead(Wide("SMSMgr.ini"), file_), 0);
    EXPECT_EQ(files_.ReadText(file_, 6), u"Port:C");
}

TEST_F(SettingsFilePosix, OpenErrorsAreWin32NumbersAndCreateNothing) {
    std::ofstream(dir_ / "plain") << "x";
    // A missing file, folder or path, a path through a file, and the folder itself.
    for (const auto& [path, error] :
         {std::pair{Wide("missing.ini"), win32::kFileNotFound},
          std::pair{Wide("no-folder/SMSMgr.ini"), win32::kPathNotFound},
          std::pair{Wide("plain/SMSMgr.ini"), win32::kPathNotFound},
          std::pair{std::u16string(), win32::kPathNotFound},
          std::pair{Utf8ToUtf16(dir_.string()), win32::kAccessDenied}}) {
        SCOPED_TRACE(Utf16ToUtf8(path));
        EXPECT_EQ(files_.OpenForRead(path, file_), error);
        EXPECT_EQ(files_.OpenForWrite(path, file_), error);
        // Creating makes a missing file, so only the other errors apply to it.
        if (error != win32::kFileNotFound) {
            EXPECT_EQ(files_.CreateForWrite(path, file_), error);
        }
        EXPECT_EQ(file_, kNoFile);
    }
    EXPECT_FALSE(fs::exists(dir_ / "missing.ini"));
    EXPECT_FALSE(fs::exists(dir_ / "no-folder"));
}

TEST_F(SettingsFilePosix, OpenFileIsExclusive) {
    Put("Port:COM1\r\n");
    // Another open file that holds the lock keeps both kinds of open out, and the refused
    // write open leaves the content alone.
    const int other = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(files_.OpenForRead(Wide("SMSMgr.ini"), file_), win32::kSharingViolation);
    EXPECT_EQ(files_.OpenForWrite(Wide("SMSMgr.ini"), file_), win32::kSharingViolation);
    EXPECT_EQ(file_, kNoFile);
    ::close(other);
    EXPECT_EQ(Get(), "Port:COM1\r\n");

    // While the backend holds the file, nobody else can lock it; after the close they can.
    ASSERT_EQ(files_.OpenForRead(Wide("SMSMgr.ini"), file_), 0);
    EXPECT_NE(file_, kNoFile);
    FileHandle second = kNoFile;
    EXPECT_EQ(files_.OpenForWrite(Wide("SMSMgr.ini"), second), win32::kSharingViolation);
    const int probe = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0);
    files_.Close(file_);
    EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), 0);
    ::close(probe);
}

TEST_F(SettingsFilePosix, FailedWriteDoesNotCutTheFile) {
    const std::string old(4000, 'o');
    Put(old);
    ASSERT_EQ(files_.OpenForWrite(Wide("SMSMgr.ini"), file_), 0);
    // The child may write only the first 10 bytes of any file, so the write fails part way.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{10, 10};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(files_.WriteAll(file_, std::string(200, 'n')) != 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write should have failed";
    EXPECT_EQ(fs::file_size(path_), old.size());
}

// What an unprivileged owner of the folder and the file gets: root may write anything.
class Unprivileged {
  public:
    Unprivileged() : uid_(::geteuid() == 0 ? 65534 : ::geteuid()) {}
    void Own(const fs::path& path, mode_t mode) const {
        ASSERT_EQ(::chown(path.c_str(), uid_, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }
    // Runs the call in a child process with the owner's rights; true if it returned `want`.
    template <typename Call>
    bool Returns(HRESULT want, Call call) const {
        const pid_t child = ::fork();
        if (child < 0) return false;
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(uid_) != 0 || ::setuid(uid_) != 0)) ::_exit(2);
            ::_exit(call() == want ? 0 : 1);
        }
        int status = 0;
        return ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }

  private:
    uid_t uid_;
};

TEST_F(SettingsFilePosix, FailedSaveLeavesTheFileAndTheFolderAsTheyWere) {
    const std::string old = "Port:COM9\r\nSMSCharacterSet:1\r\n";
    const Unprivileged owner;
    const HRESULT denied = static_cast<HRESULT>(0x80070005u);
    struct Case {
        const char* what;
        mode_t folderMode, fileMode;
        bool held;
        HRESULT result;
    };
    for (const Case& c : {
             Case{"held by another", 0755, 0644, true, static_cast<HRESULT>(0x80070020u)},
             Case{"read-only file", 0755, 0444, false, denied},
             Case{"unwritable folder", 0555, 0644, false, denied},
         }) {
        SCOPED_TRACE(c.what);
        Put(old);
        owner.Own(path_, c.fileMode);
        owner.Own(dir_, c.folderMode);
        const int other = c.held ? ::open(path_.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (c.held) {
            ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
        }
        EXPECT_TRUE(owner.Returns(
            c.result, [&] { return SaveIniFile(access_, Wide("SMSMgr.ini"), {u"COM1"}); }));
        if (other >= 0) ::close(other);
        ::chmod(dir_.c_str(), 0755);
        ::chmod(path_.c_str(), 0644);
        EXPECT_EQ(Get(), old);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
    }
}

}  // namespace
}  // namespace merel
