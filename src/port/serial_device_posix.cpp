// The serial device on Linux: a terminal device opened for exclusive use and driven through
// termios. Windows keeps a whole device control block and time-out set per port; termios holds
// only part of them, so the rest is kept here per handle and read back as last set.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "base/errno_map.h"
#include "base/narrow.h"
#include "port/comm_state_termios.h"
#include "port/port_lock.h"
#include "port/serial_device.h"
#include "port/tty_settings.h"

namespace merel {

namespace {

struct PortCache {
    CommState state;
    CommTimeouts timeouts;
    PortLock lock;
};

std::int32_t FromErrno(int err) {
    return Win32ErrorFromErrno(err);
}

// A missing file and a missing folder on the way to it are different errors on Windows.
std::int32_t OpenError(int err, const std::string& path) {
    if (err == EISDIR) return win32::kBadDevice;  // a folder is no serial device either
    if (err == ENOENT) {
        const auto slash = path.find_last_of('/');
        if (slash != std::string::npos && slash != 0) {
            struct stat st {};
            const std::string folder = path.substr(0, slash);
            if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                return Win32ErrorFromErrno(err, ErrnoContext::kFolder);
            }
        }
    }
    return Win32ErrorFromErrno(err);
}

// The device that a port name leads to, links resolved, so that every name of one device finds
// the same lock file; none when it cannot be resolved.
std::optional<std::string> ResolvedDevice(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return {};
    std::string device = real;
    std::free(real);
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return {};
    return device;
}

// Whether the descriptor is the terminal side of a Unix98 pseudo terminal (majors 136 to 143).
bool PseudoTerminal(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned int major = ::major(st.st_rdev);
    return major >= 136 && major <= 143;
}

// Reads the terminal's settings, lets `change` edit them (it returns 0 or a Win32 error), and
// writes them back.
template <typename Change>
std::int32_t UpdateTty(int fd, Change&& change) {
    TtySettings tty;
    if (const int err = ReadTtySettings(fd, tty); err != 0) return FromErrno(err);
    if (const std::int32_t e = change(tty); e != 0) return e;
    if (const int err = WriteTtySettings(fd, tty); err != 0) return FromErrno(err);
    return 0;
}

using Clock = std::chrono::steady_clock;

// When a write of `size` bytes must be done by: the constant plus the multiplier for every byte,
// as Windows reckons it; no limit when both are 0.
std::optional<Clock::time_point> WriteDeadline(const CommTimeouts& t, std::size_t size) {
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) return {};
    // Capped far below the clock's range; no write outlasts it anyway.
    constexpr std::uint64_t kLongestMs = std::uint64_t{1} << 40;  // about 35 years
    const std::uint64_t perByte = t.WriteTotalTimeoutMultiplier;
    const std::uint64_t bytesMs =
        perByte != 0 && size > kLongestMs / perByte ? kLongestMs : size * perByte;
    const std::uint64_t totalMs = std::min(kLongestMs, t.WriteTotalTimeoutConstant + bytesMs);
    return Clock::now() + std::chrono::milliseconds(totalMs);
}

// The wait that poll takes until the deadline, rounded up; -1 (no end) without one.
int PollMs(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
}

// Waits until the line has carried out what the kernel holds for the port, or the deadline
// passes; then `written` leaves out the bytes still waiting. A port that cannot tell counts as
// sent.
bool WaitUntilSent(int fd, Clock::time_point deadline, std::size_t size, std::size_t& written) {
    constexpr int kStepMs = 5;
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
        const int left = PollMs(deadline);
        if (left == 0) {
            written = size - std::min(size, static_cast<std::size_t>(queued));
            return false;
        }
        ::poll(nullptr, 0, std::min(left, kStepMs));
    }
}

class PosixSerialDevice : public SerialDevice {
  public:
    std::int32_t Open(const std::u16string& name, PortHandle& handle, std::string& why) override {
        handle = kInvalidPort;
        why.clear();
        const std::string path = Utf16ToUtf8(name);
        PortLock lock;
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return OpenError(errno, path);
        if (!::isatty(fd)) return Refuse(fd, lock, win32::kBadDevice);
        // Only a terminal this user may open gets a lock file, and before anything changes it.
        if (const std::optional<std::string> device = ResolvedDevice(path)) {
            if (const std::int32_t e = TakePortLock(*device, lock, why); e != 0) {
                return Refuse(fd, lock, e);
            }
        }
        // Exclusive use, as a share mode of 0 gives on Windows: the lock file keeps out the
        // programs that look for one, flock those that lock the device, the exclusive mode every
        // later opener but root. A pseudo terminal keeps the exclusive mode as long as its other
        // side is open, even after its holder was killed, and no one but root could clear it: it
        // is left to the lock file and flock there.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return Refuse(fd, lock, FromErrno(errno));
        if (!PseudoTerminal(fd) && ::ioctl(fd, TIOCEXCL) != 0) {
            return Refuse(fd, lock, FromErrno(errno));
        }
        // The descriptor stays non-blocking: writes wait in poll, where their limit can end them.
        TtySettings tty;
        if (const int err = ReadTtySettings(fd, tty); err != 0) {
            return Refuse(fd, lock, FromErrno(err));
        }
        PortCache cache;
        cache.state = ReadCommState(tty, DefaultCommState(TtySpeed(tty)));
        cache.lock = std::move(lock);
        {
            std::lock_guard guard(mutex_);
            ports_[fd] = std::move(cache);
        }
        handle = fd;
        return 0;
    }

    std::int32_t ApplyDefaultConfig(const std::u16string&, PortHandle handle) override {
        std::lock_guard lock(mutex_);
        PortCache* cache = Find(handle);
        if (cache == nullptr) return win32::kInvalidHandle;
        TtySettings applied;
        const std::int32_t e = UpdateTty(static_cast<int>(handle), [&](TtySettings& tty) {
            WriteDefaultConfig(tty);
            applied = tty;
            return 0;
        });
        if (e != 0) return e;
        // Raw mode blocks a read until a byte arrives, as time-outs of all zero do.
        cache->state = DefaultCommState(TtySpeed(applied));
        cache->timeouts = CommTimeouts{};
        return 0;
    }

    std::int32_t GetState(PortHandle handle, CommState& state) override {
        std::lock_guard lock(mutex_);
        PortCache* cache = Find(handle);
        if (cache == nullptr) return win32::kInvalidHandle;
        TtySettings tty;
        if (const int err = ReadTtySettings(static_cast<int>(handle), tty); err != 0) {
            return FromErrno(err);
        }
        state = ReadCommState(tty, cache->state);
        return 0;
    }

    std::int32_t SetState(PortHandle handle, const CommState& state) override {
        std::lock_guard lock(mutex_);
        PortCache* cache = Find(handle);
        if (cache == nullptr) return win32::kInvalidHandle;
        const std::int32_t e = UpdateTty(
            static_cast<int>(handle), [&](TtySettings& tty) { return WriteCommState(state, tty); });
        if (e != 0) return e;
        cache->state = state;
        return 0;
    }

    std::int32_t GetTimeouts(PortHandle handle, CommTimeouts& timeouts) override {
        std::lock_guard lock(mutex_);
        PortCache* cache = Find(handle);
        if (cache == nullptr) return win32::kInvalidHandle;
        timeouts = cache->timeouts;
        return 0;
    }

    std::int32_t SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) override {
        std::lock_guard lock(mutex_);
        PortCache* cache = Find(handle);
        if (cache == nullptr) return win32::kInvalidHandle;
        const std::int32_t e = UpdateTty(static_cast<int>(handle), [&](TtySettings& tty) {
            WriteReadTimeouts(timeouts, tty);
            return 0;
        });
        if (e != 0) return e;
        cache->timeouts = timeouts;
        return 0;
    }

    std::int32_t Write(PortHandle handle, const char* data, std::size_t size,
                       std::size_t& written) override {
        written = 0;
        CommTimeouts timeouts;
        {
            std::lock_guard lock(mutex_);
            const PortCache* cache = Find(handle);
            if (cache == nullptr) return win32::kInvalidHandle;
            timeouts = cache->timeouts;
        }
        const int fd = static_cast<int>(handle);
        const std::optional<Clock::time_point> deadline = WriteDeadline(timeouts, size);
        bool timedOut = false;
        // A terminal may take a write in parts: go on until every byte is taken.
        while (written < size && !timedOut) {
            const ssize_t n = ::write(fd, data + written, size - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            } else if (n == 0) {
                break;  // took nothing and reported no error: the caller sees the short write
            } else if (errno == EINTR) {
                continue;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{fd, POLLOUT, 0};
                const int ready = ::poll(&p, 1, PollMs(deadline));
                if (ready < 0 && errno != EINTR) return FromErrno(errno);
                timedOut = ready == 0;
            } else {
                return FromErrno(errno);
            }
        }
        // Windows counts a byte as written once it has left the port, so with a limit the write
        // also waits for the line to carry out what the kernel took.
        if (deadline && !timedOut) timedOut = !WaitUntilSent(fd, *deadline, size, written);
        if (timedOut) {
            // What the kernel still holds of this write must not reach the modem when the line
            // moves again, long after the send was reported as failed.
            ::tcflush(fd, TCOFLUSH);
        }
        return 0;
    }

    std::int32_t ReadWaiting(PortHandle handle, char* data, std::size_t size,
                             std::size_t& got) override {
        got = 0;
        const int fd = static_cast<int>(handle);
        // Only as many bytes as are there: with the blocking mode's VMIN a larger read would
        // wait for more.
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) != 0) return FromErrno(errno);
        if (waiting <= 0) {
            // Nothing there; a line that has hung up says so only when read.
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || (p.revents & (POLLHUP | POLLERR)) == 0) return 0;
            waiting = 1;
        }
        const std::size_t want = std::min(size, static_cast<std::size_t>(waiting));
        for (;;) {
            const ssize_t n = ::read(fd, data, want);
            if (n >= 0) {
                got = static_cast<std::size_t>(n);
                return 0;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return FromErrno(errno);
        }
    }

    std::int32_t Close(PortHandle handle) override {
        const int fd = static_cast<int>(handle);
        // The exclusive mode would stay while another descriptor keeps the terminal open.
        ::ioctl(fd, TIOCNXCL);
        // Linux frees the descriptor even when close reports an error: the lock file goes too.
        const int closed = ::close(fd);
        const int err = errno;
        std::lock_guard guard(mutex_);
        if (PortCache* cache = Find(handle)) ReleasePortLock(cache->lock);
        if (closed != 0) return FromErrno(err);
        ports_.erase(fd);
        return 0;
    }

  private:
    static std::int32_t Refuse(int fd, PortLock& lock, std::int32_t error) {
        ::close(fd);
        ReleasePortLock(lock);
        return error;
    }

    PortCache* Find(PortHandle handle) {
        const auto it = ports_.find(handle);
        return it == ports_.end() ? nullptr : &it->second;
    }

    std::mutex mutex_;
    std::map<PortHandle, PortCache> ports_;
};

}  // namespace

SerialDevice& SystemSerialDevice() {
    static PosixSerialDevice device;
    return device;
}

}  // namespace merel
