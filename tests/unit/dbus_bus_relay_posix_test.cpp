#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "host/dbus/bus_relay.h"
#include "host/dbus/message_cutter.h"

namespace merel::dbus {
namespace {

TEST(BusRelay, FindsTheUnixSocketsOfAnAddress) {
    const auto sockets = UnixSockets(
        "tcp:host=localhost,port=1;unix:guid=00ff,path=/run/user/1000/b%75s;unix:abstract="
        "/tmp/dbus-%41x;unix:path=/bad%4;unix:runtime=yes;autolaunch:");
    ASSERT_EQ(sockets.size(), 2U);
    EXPECT_FALSE(sockets[0].abstract);
    EXPECT_EQ(sockets[0].name, "/run/user/1000/bus");
    EXPECT_TRUE(sockets[1].abstract);
    EXPECT_EQ(sockets[1].name, "/tmp/dbus-Ax");
    EXPECT_TRUE(UnixSockets("").empty());
}

// A listening socket in a folder of the test's own.
struct Listener {
    Listener() {
        char pattern[] = "/tmp/merel-relay-XXXXXX";
        folder = mkdtemp(pattern);
        path = folder + "/bus";
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        std::strcpy(where.sun_path, path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
        EXPECT_EQ(listen(fd, 4), 0);
    }
    ~Listener() {
        close(fd);
        unlink(path.c_str());
        rmdir(folder.c_str());
    }
    std::string folder, path;
    int fd;
};

TEST(BusRelay, ConnectsToTheFirstSocketThatAnswers) {
    Listener bus;
    const int fd = ConnectFirst({{false, bus.folder + "/gone"}, {false, bus.path}});
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(ConnectFirst({{false, bus.folder + "/gone"}}), -ENOENT);
    EXPECT_EQ(ConnectFirst({{false, std::string(200, 'n')}}), -ENAMETOOLONG);
    EXPECT_EQ(ConnectFirst({}), -ENOENT);
}

// Reads from `fd` until `count` bytes or end of stream, waiting at most 10 s in all.
std::string ReadUpTo(int fd, std::size_t count) {
    std::string got;
    char buffer[65536];
    for (int waits = 0; got.size() < count && waits < 1000;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) {
            ++waits;
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

void WriteAll(int fd, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        ASSERT_GT(n, 0);
        at += static_cast<std::size_t>(n);
    }
}

TEST(BusRelay, PassesWhatTheBusSendsCutAndTheEndsOfBothSides) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int bus = pair[0];
    {
        BusRelay relay(pair[1]);
        ASSERT_TRUE(relay.Start());
        const int input = relay.LibraryInput(), output = relay.LibraryOutput();
        // The library writes to the bus itself.
        WriteAll(output, std::string(1, '\0') + "AUTH EXTERNAL 30\r\nBEGIN\r\n");
        EXPECT_EQ(ReadUpTo(bus, 25), std::string(1, '\0') + "AUTH EXTERNAL 30\r\nBEGIN\r\n");
        // A 20 MB message from the bus reaches the library cut; the greeting untouched.
        const std::string greeting = "OK 0123456789abcdef0123456789abcdef\r\n";
        const std::uint32_t body = 20 * 1024 * 1024;  // little-endian, as the machine
        const std::string message = std::string("l\1\0\1", 4) +
                                    std::string(reinterpret_cast<const char*>(&body), 4) +
                                    std::string("\7\0\0\0\0\0\0\0", 8);
        WriteAll(bus, greeting + message + std::string(body, 'b'));
        // No signature: the body goes, and the library reads the bare header.
        std::string bare = message;
        std::memset(bare.data() + 4, 0, 4);
        EXPECT_EQ(ReadUpTo(input, greeting.size() + bare.size()), greeting + bare);
        // The bus ends: the library reads the end.
        shutdown(bus, SHUT_WR);
        EXPECT_EQ(ReadUpTo(input, 1), "");
        close(input);
        close(output);
    }
    close(bus);
    // A library that closes first ends the relay too (the scope above would not be left).
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    {
        BusRelay relay(pair[1]);
        ASSERT_TRUE(relay.Start());
        close(relay.LibraryInput());
        close(relay.LibraryOutput());
    }
    EXPECT_EQ(ReadUpTo(pair[0], 1), "");  // and the bus sees the connection end
    close(pair[0]);
}

}  // namespace
}  // namespace merel::dbus
