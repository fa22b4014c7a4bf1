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
#include "fakes.h"
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

// Administrators keep SMSMgr.ini elsewhere (in /etc, say) with a link in its place.
class SettingsFileLinked : public SettingsFilePosix {
  protected:
    void SetUp() override {
        SettingsFilePosix::SetUp();
        etc_ = dir_ / "etc" / "merel";
        fs::create_directories(etc_);
        real_ = etc_ / "SMSMgr.ini";
    }
    std::string GetFile(const fs::path& path) const {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static std::vector<std::string> Listing(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    HRESULT Save() { return SaveIniFile(access_, Wide("SMSMgr.ini"), {u"COM1"}); }
    HRESULT Load(SettingsRecord& record) {
        return LoadIniFile(access_, Wide("SMSMgr.ini"), record);
    }

    fs::path etc_, real_;
};

TEST_F(SettingsFileLinked, SaveReplacesTheLinkedFileInItsOwnFolderAndKeepsTheLink) {
    struct Case {
        const char* what;
        fs::path link;  // what the link at SMSMgr.ini says
        bool chain;     // through a second link beside it
    };
    for (const Case& c :
         {Case{"absolute", real_, false}, Case{"relative", "etc/merel/SMSMgr.ini", false},
          Case{"two links", real_, true}}) {
        SCOPED_TRACE(c.what);
        std::ofstream(real_, std::ios::binary | std::ios::trunc) << "Port:COM9\r\n";
        fs::remove(path_);
        fs::remove(dir_ / "other.ini");
        if (c.chain) {
            fs::create_symlink(c.link, dir_ / "other.ini");
            fs::create_symlink("other.ini", path_);
        } else {
            fs::create_symlink(c.link, path_);
        }
        struct stat old {};
        ASSERT_EQ(::stat(real_.c_str(), &old), 0);

        ASSERT_EQ(Save(), kS_OK) << failure_.Text();
        EXPECT_TRUE(fs::is_symlink(path_));
        EXPECT_EQ(fs::read_symlink(path_), c.chain ? fs::path("other.ini") : c.link);
        EXPECT_EQ(GetFile(real_), test::kCom1Defaults);
        // Replaced in one step by a new file, not rewritten in place.
        struct stat now {};
        ASSERT_EQ(::stat(real_.c_str(), &now), 0);
        EXPECT_NE(now.st_ino, old.st_ino);
        EXPECT_EQ(Listing(etc_), std::vector<std::string>{"SMSMgr.ini"});
        const std::vector<std::string> beside =
            c.chain ? std::vector<std::string>{"SMSMgr.ini", "etc", "other.ini"}
                    : std::vector<std::string>{"SMSMgr.ini", "etc"};
        EXPECT_EQ(Listing(dir_), beside);

        SettingsRecord loaded;
        ASSERT_EQ(Load(loaded), kS_OK);
        EXPECT_EQ(loaded, SettingsRecord{u"COM1"});
    }
    // Only the file's own folder is written: the link's may be read-only.
    const Unprivileged owner;
    owner.Own(etc_, 0755);
    owner.Own(real_, 0644);
    owner.Own(dir_, 0555);
    EXPECT_TRUE(owner.Returns(kS_OK, [&] { return Save(); }));
    ::chmod(dir_.c_str(), 0755);
}

TEST_F(SettingsFileLinked, LinkWithoutItsFileGetsOneWhereItsFolderExists) {
    fs::create_symlink(real_, path_);
    // A first load says the file is missing; a first save makes the file the link names.
    SettingsRecord record;
    EXPECT_EQ(Load(record), hresult::kFileNotFound);
    EXPECT_EQ(failure_.Text(), "settings file " + path_ + " (a link to " + real_.string() +
                                   ") not found: write it with SetSettings");
    ASSERT_EQ(Save(), kS_OK) << failure_.Text();
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(GetFile(real_), test::kCom1Defaults);
    EXPECT_EQ(Listing(etc_), std::vector<std::string>{"SMSMgr.ini"});

    // A link into a folder that does not exist makes no folder.
    fs::remove(path_);
    const fs::path nowhere = dir_ / "nowhere" / "SMSMgr.ini";
    fs::create_symlink(nowhere, path_);
    EXPECT_EQ(Save(), hresult::kPathNotFound);
    EXPECT_EQ(failure_.Text(), "settings file " + path_ + " (a link to " + nowhere.string() +
                                   ") could not be written: the folder " + dir_.string() +
                                   "/nowhere/ does not exist");
    EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
    EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"SMSMgr.ini", "etc"}));
}

TEST_F(SettingsFileLinked, LinksThatLeadNowhereAndFoldersAreNamedAsSuch) {
    // Links in a circle: neither a load nor a save gets anywhere, and both links stay.
    fs::create_symlink("other.ini", path_);
    fs::create_symlink("SMSMgr.ini", dir_ / "other.ini");
    SettingsRecord record;
    EXPECT_EQ(Load(record), FoldError(kUnresolvableLinks));
    EXPECT_EQ(failure_.Text(),
              "settings file " + path_ + " cannot be read: its links cannot be followed to a file");
    EXPECT_EQ(Save(), FoldError(kUnresolvableLinks));
    EXPECT_EQ(failure_.Text(), "settings file " + path_ +
                                   " could not be written: its links cannot be followed to a file");
    EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"SMSMgr.ini", "etc", "other.ini"}));
    EXPECT_TRUE(fs::is_symlink(path_));

    // A link to a folder names the folder.
    fs::remove(path_);
    fs::remove(dir_ / "other.ini");
    fs::create_symlink(etc_, path_);
    EXPECT_EQ(Save(), hresult::kAccessDenied);
    EXPECT_EQ(failure_.Text(), "settings file " + path_ + " (a link to " + etc_.string() +
                                   ") could not be written: " + etc_.string() +
                                   " is a folder, not a file");
    EXPECT_TRUE(fs::is_empty(etc_));

    // So does a pipe in the file's place, which no save may block on.
    fs::remove(path_);
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    EXPECT_EQ(Save(), hresult::kIoDevice);
    EXPECT_EQ(failure_.Text(),
              "settings file " + path_ + " could not be written: it is not a plain file");
    EXPECT_TRUE(fs::is_fifo(path_));
    EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"SMSMgr.ini", "etc"}));
}

}  // namespace
}  // namespace merel
