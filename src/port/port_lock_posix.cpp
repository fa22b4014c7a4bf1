// Taking and giving back the lock file on POSIX systems. The content is written to a temporary
// file first and linked to the lock's name, so no program ever reads a half-written lock.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "base/hresult.h"
#include "port/port_lock.h"

namespace merel {

namespace {

// The lock files this process holds: a lock file naming this process but missing here is one
// that an ended process with the same number left behind.
std::mutex heldMutex;
std::set<std::string> held;

std::string LockFolder() {
    const char* folder = std::getenv(kLockFolderVariable);
    return folder != nullptr && *folder != '\0' ? folder : std::string(kLockFolder);
}

// The start of a file, or none when it cannot be read; `err` says why.
std::optional<std::string> ReadStart(const std::string& path, int& err) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        err = errno;
        return {};
    }
    char buffer[512];  // an HDB lock has 11 bytes, more is garbage; a process's stat fits
    ssize_t n;
    do {
        n = ::read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    err = n < 0 ? errno : 0;
    ::close(fd);
    if (n < 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

// Whether a process is a zombie: ended, and only not yet collected by its parent (a bus that
// started a killed service may take a while).
bool Zombie(std::int64_t pid) {
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    int err = 0;
    const std::optional<std::string> text = ReadStart(stat, err);
    if (!text) return false;
    // The state follows the name in parentheses, which may itself hold ") ".
    const auto close = text->rfind(") ");
    return close != std::string::npos && close + 2 < text->size() && (*text)[close + 2] == 'Z';
}

// Whether another process with this number runs; one of another user answers EPERM.
bool OtherProcessAlive(std::int64_t pid) {
    if (pid > INT_MAX || pid == ::getpid()) return false;
    const bool exists = ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    return exists && !Zombie(pid);
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::int32_t TakePortLock(const std::string& devicePath, PortLock& lock, std::string& why) {
    lock.path.clear();
    const std::string folder = LockFolder();
    const std::string path = folder + "/" + LockFileName(devicePath);
    {
        std::lock_guard guard(heldMutex);
        if (held.contains(path)) {
            why = "process " + std::to_string(::getpid()) + ", this one, holds the lock file " +
                  path + " already";
            return win32::kSharingViolation;
        }
    }
    std::string temp = folder + "/LTMP.XXXXXX";
    const int fd = ::mkstemp(temp.data());
    // No lock folder, or none this user may write: the port is still kept by flock and the
    // exclusive mode, only programs that look for lock files alone do not see it.
    if (fd < 0) return 0;
    const bool written = ::fchmod(fd, 0644) == 0 && WriteAll(fd, FormatLockPid(::getpid()));
    ::close(fd);
    if (!written) {
        ::unlink(temp.c_str());
        return 0;
    }

    std::int32_t result = win32::kSharingViolation;
    why = "another program keeps taking the lock file " + path;
    // A stale lock is removed and the link tried again; a second program doing the same at the
    // same time may win, which the next round sees.
    for (int round = 0; round < 3; ++round) {
        if (::link(temp.c_str(), path.c_str()) == 0) {
            lock.path = path;
            std::lock_guard guard(heldMutex);
            held.insert(path);
            result = 0;
            why.clear();
            break;
        }
        if (errno != EEXIST) {  // a file system without links: go on without a lock file
            result = 0;
            why.clear();
            break;
        }
        int err = 0;
        const std::optional<std::string> content = ReadStart(path, err);
        if (!content && err == ENOENT) continue;  // its holder has just let it go
        // An unreadable lock names no process and counts as stale, as garbage does.
        if (const auto pid = content ? LiveHolder(*content, OtherProcessAlive) : std::nullopt) {
            why = "process " + std::to_string(*pid) + " holds the lock file " + path;
            break;
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            why = "the lock file " + path + " names no running process but cannot be removed";
            break;
        }
    }
    ::unlink(temp.c_str());
    return result;
}

void ReleasePortLock(PortLock& lock) {
    if (lock.path.empty()) return;
    ::unlink(lock.path.c_str());
    std::lock_guard guard(heldMutex);
    held.erase(lock.path);
    lock.path.clear();
}

}  // namespace merel
