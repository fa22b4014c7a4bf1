// The UUCP lock file: its name, its content, and taking it over from a process that has ended.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "port/port_lock.h"

namespace merel {
namespace {

namespace fs = std::filesystem;

TEST(PortLock, NameIsThePathBelowDevWithSlashesAsUnderscores) {
    EXPECT_EQ(LockFileName("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(LockFileName("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(LockFileName("/dev/serial/by-id/usb-Modem"), "LCK..serial_by-id_usb-Modem");
    // A device outside /dev keeps its whole path.
    EXPECT_EQ(LockFileName("/srv/dev/ttyX"), "LCK..srv_dev_ttyX");
}

TEST(PortLock, ContentIsHdbAndOnlyAPositiveNumberNamesAProcess) {
    EXPECT_EQ(FormatLockPid(1234), "      1234\n");
    EXPECT_EQ(FormatLockPid(4194304), "   4194304\n");
    EXPECT_EQ(ParseLockPid(FormatLockPid(4194304)), 4194304);
    // Other programs' spellings of the same.
    EXPECT_EQ(ParseLockPid("1234"), 1234);
    EXPECT_EQ(ParseLockPid("  1234 \r\n"), 1234);
    // Nothing, garbage, a binary PID, signs, zero, numbers no process has.
    for (const std::string& bad :
         {std::string(), std::string("\n"), std::string("12ab\n"), std::string("\xd2\x04\0\0", 4),
          std::string("-5\n"), std::string("+5\n"), std::string("0\n"), std::string("1234 5678\n"),
          std::string("99999999999999999999999\n")}) {
        EXPECT_FALSE(ParseLockPid(bad).has_value()) << bad;
    }
}

TEST(PortLock, OnlyALockOfARunningProcessHasAHolder) {
    const auto alive = [](std::int64_t pid) { return pid == 42; };
    EXPECT_EQ(LiveHolder("        42\n", alive), 42);
    EXPECT_FALSE(LiveHolder("        43\n", alive).has_value());
    EXPECT_FALSE(LiveHolder("garbage", [](std::int64_t) { return true; }).has_value());
}

class PortLockFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string folder = (fs::temp_directory_path() / "merel-lock-XXXXXX").string();
        ASSERT_NE(mkdtemp(folder.data()), nullptr);
        dir_ = folder;
        setenv(kLockFolderVariable, folder.c_str(), 1);
    }
    void TearDown() override {
        ReleasePortLock(lock_);
        unsetenv(kLockFolderVariable);
        fs::remove_all(dir_);
    }
    std::string Read(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // The folder's files: the lock, and nothing left over from taking it.
    std::size_t Files() {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }
    fs::path dir_;
    PortLock lock_;
    std::string why_;
};

TEST_F(PortLockFiles, LockOfAnEndedProcessOrWithGarbageIsTakenOver) {
    // Two ended processes: one collected, one a zombie that its parent has not collected yet.
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(0);
    }
    ASSERT_EQ(waitpid(children[0], nullptr, 0), children[0]);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(children[1]), &info, WEXITED | WNOWAIT), 0);

    const fs::path file = dir_ / "LCK..ttyUSB0";
    for (const std::string& stale : {FormatLockPid(children[0]), FormatLockPid(children[1]),
                                     std::string("garbage"), std::string()}) {
        std::ofstream(file, std::ios::binary) << stale;
        ASSERT_EQ(TakePortLock("/dev/ttyUSB0", lock_, why_), 0) << why_;
        EXPECT_EQ(lock_.path, file.string());
        EXPECT_EQ(Read(file), FormatLockPid(getpid()));
        EXPECT_EQ(Files(), 1u);
        ReleasePortLock(lock_);
        EXPECT_FALSE(fs::exists(file));
    }
    waitpid(children[1], nullptr, 0);
}

TEST_F(PortLockFiles, OursIsInUseOnlyWhileThisProcessHoldsIt) {
    ASSERT_EQ(TakePortLock("/dev/pts/7", lock_, why_), 0);
    PortLock second;
    EXPECT_EQ(TakePortLock("/dev/pts/7", second, why_), 32);
    EXPECT_EQ(why_, "process " + std::to_string(getpid()) + ", this one, holds the lock file " +
                        (dir_ / "LCK..pts_7").string() + " already");
    EXPECT_TRUE(second.path.empty());
    EXPECT_TRUE(fs::exists(lock_.path));

    // Our number left behind by an earlier process with it, after a restart: taken over.
    ReleasePortLock(lock_);
    std::ofstream(dir_ / "LCK..pts_7", std::ios::binary) << FormatLockPid(getpid());
    EXPECT_EQ(TakePortLock("/dev/pts/7", lock_, why_), 0) << why_;
}

TEST_F(PortLockFiles, WithoutAUsableLockFolderThePortOpensWithoutALockFile) {
    setenv(kLockFolderVariable, (dir_ / "missing").c_str(), 1);
    EXPECT_EQ(TakePortLock("/dev/ttyS0", lock_, why_), 0);
    EXPECT_TRUE(lock_.path.empty());
    EXPECT_EQ(Files(), 0u);
}

}  // namespace
}  // namespace merel
