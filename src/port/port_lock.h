// The UUCP lock file by which Linux programs (terminal programs, modem managers, the uucp
// tools) tell each other that a serial port is taken: /run/lock/LCK..<device>, holding the
// holder's process id in the HDB format. The serial device takes one for every port it opens.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace merel {

// Where lock files live (FHS). The environment variable, when set and not empty, names another
// folder: for tests, and for systems whose programs agree on a different one.
inline constexpr std::string_view kLockFolder = "/run/lock";
inline constexpr const char* kLockFolderVariable = "MEREL_LOCK_DIR";

// The lock file's name for a device path whose links are already resolved: the path below /dev
// with '/' as '_', so /dev/ttyUSB0 gives "LCK..ttyUSB0" and /dev/pts/3 "LCK..pts_3".
std::string LockFileName(std::string_view devicePath);

// The HDB content: the process id right-aligned in ten characters, then a newline.
std::string FormatLockPid(std::int64_t pid);

// The process id that a lock file's content names; none for content that names no process
// (empty, not a number, not positive), which counts as a lock that nobody holds.
std::optional<std::int64_t> ParseLockPid(std::string_view content);

// The process that holds a lock with this content, or none when the lock is stale: it names no
// process, or `alive` says its process has ended.
std::optional<std::int64_t> LiveHolder(std::string_view content,
                                       const std::function<bool(std::int64_t)>& alive);

// A lock file this process holds; `path` is empty when the port was opened without one.
struct PortLock {
    std::string path;
};

// Takes the lock file of the (resolved) device path for this process. Returns 0, or
// 32 (sharing violation) with `why` naming the holder. A lock folder that is missing or not
// writable gives 0 and no lock file: flock and the exclusive mode still keep the port.
std::int32_t TakePortLock(const std::string& devicePath, PortLock& lock, std::string& why);

// Removes the lock file, where there is one.
void ReleasePortLock(PortLock& lock);

}  // namespace merel
