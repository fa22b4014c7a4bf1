#include "host/dbus/bus_relay.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "host/dbus/message_cutter.h"

namespace merel::dbus {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// An address value with its %XX escapes undone; nothing usable when an escape is broken.
bool Unescape(std::string_view value, std::string& out) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out.push_back(value[i]);
            continue;
        }
        if (i + 2 >= value.size()) return false;
        const int high = HexDigit(value[i + 1]), low = HexDigit(value[i + 2]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

}  // namespace

std::vector<UnixSocket> UnixSockets(std::string_view address) {
    std::vector<UnixSocket> sockets;
    while (!address.empty()) {
        const std::size_t end = address.find(';');
        std::string_view entry = address.substr(0, end);
        address.remove_prefix(end == std::string_view::npos ? address.size() : end + 1);
        if (!entry.starts_with("unix:")) continue;
        entry.remove_prefix(5);
        UnixSocket found;
        bool named = false;
        while (!entry.empty()) {
            const std::size_t comma = entry.find(',');
            const std::string_view pair = entry.substr(0, comma);
            entry.remove_prefix(comma == std::string_view::npos ? entry.size() : comma + 1);
            const std::size_t equals = pair.find('=');
            if (equals == std::string_view::npos) continue;
            const std::string_view key = pair.substr(0, equals);
            if (key != "path" && key != "abstract") continue;
            UnixSocket s{key == "abstract", {}};
            if (Unescape(pair.substr(equals + 1), s.name) && !s.name.empty()) {
                found = std::move(s);
                named = true;
            }
        }
        if (named) sockets.push_back(std::move(found));
    }
    return sockets;
}

std::string SystemBusAddress(const char* fromEnvironment) {
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
    return "unix:path=/run/dbus/system_bus_socket";
}

std::string SessionBusAddress(const char* fromEnvironment, const char* runtimeFolder) {
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
    if (runtimeFolder == nullptr || *runtimeFolder != '/') return {};
    return std::string("unix:path=") + runtimeFolder + "/bus";
}

int ConnectFirst(const std::vector<UnixSocket>& sockets) {
    int error = -ENOENT;
    for (const UnixSocket& s : sockets) {
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        const std::size_t offset = s.abstract ? 1 : 0;
        // A path needs room for its NUL; an abstract name has its NUL in front.
        if (s.name.size() + offset >= sizeof where.sun_path + offset) {
            error = -ENAMETOOLONG;
            continue;
        }
        std::memcpy(where.sun_path + offset, s.name.data(), s.name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                   s.name.size() + (s.abstract ? 0 : 1));
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -errno;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&where), length) == 0) return fd;
        error = -errno;
        close(fd);
    }
    return error;
}

BusRelay::BusRelay(int busFd) : busFd_(busFd) {}

BusRelay::~BusRelay() {
    if (thread_.joinable()) thread_.join();
    if (ownFd_ >= 0) close(ownFd_);
    if (busFd_ >= 0) close(busFd_);
}

bool BusRelay::Start() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) return false;
    ownFd_ = pair[0];
    libraryInput_ = pair[1];
    libraryOutput_ = fcntl(busFd_, F_DUPFD_CLOEXEC, 3);
    bool made = libraryOutput_ >= 0;
    for (const int fd : {busFd_, ownFd_}) {
        made = made && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
    }
    if (made) {
        try {
            thread_ = std::thread([this] { Run(); });
            return true;
        } catch (const std::system_error& e) {
            errno = e.code().value();
        }
    }
    const int error = errno;
    for (int* fd : {&libraryInput_, &libraryOutput_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    errno = error;
    return false;
}

void BusRelay::Run() {
    MessageCutter cutter;
    std::string buffer(kReadSize, '\0');
    std::string pending;  // cut, not yet taken by the library
    bool reading = true;
    while (reading || !pending.empty()) {
        // The bus is read only when nothing is pending: at most one read's worth is held.
        pollfd fds[2] = {{pending.empty() ? busFd_ : -1, POLLIN, 0},
                         {ownFd_, static_cast<short>(pending.empty() ? 0 : POLLOUT), 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) return;  // the library has closed
        if (fds[0].revents != 0) {
            const ssize_t n = read(busFd_, buffer.data(), buffer.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            // The bus has ended, or is no bus: either way the library is told the connection
            // ended, after what it has still to read.
            if (n <= 0 || !cutter.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)),
                                       pending)) {
                reading = false;
            }
        }
        while (!pending.empty()) {
            const ssize_t n = send(ownFd_, pending.data(), pending.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) return;  // the library has closed
            pending.erase(0, static_cast<std::size_t>(n));
        }
    }
    shutdown(ownFd_, SHUT_WR);
}

}  // namespace merel::dbus
