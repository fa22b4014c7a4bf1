// Stands between the bus and the bus library, so that the library never holds more of an
// incoming message than the cutter lets through (see message_cutter.h). A thread of its own
// moves the bytes, so that the library's blocking calls at start work as before.
#pragma once

#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace merel::dbus {

// A unix socket named by a D-Bus address ("unix:path=…" or "unix:abstract=…").
struct UnixSocket {
    bool abstract = false;
    std::string name;
};

// The unix sockets of `address`, in its order; other transports are left out.
std::vector<UnixSocket> UnixSockets(std::string_view address);

// The address sd-bus would use for the system or the session bus; empty when it cannot be told.
std::string SystemBusAddress(const char* fromEnvironment);
std::string SessionBusAddress(const char* fromEnvironment, const char* runtimeFolder);

// A connected stream socket to the first of `sockets` that takes one, or a negative errno.
int ConnectFirst(const std::vector<UnixSocket>& sockets);

class BusRelay {
  public:
    // Takes `busFd`, a connected socket to the bus. LibraryFd() is then the descriptor to give
    // the library, which owns it from then on.
    explicit BusRelay(int busFd);
    // Waits for the thread, which ends once the library has closed its side (and what it wrote
    // has gone to the bus) or the bus has gone.
    ~BusRelay();
    BusRelay(const BusRelay&) = delete;
    BusRelay& operator=(const BusRelay&) = delete;

    // False, with errno, when the pair of sockets or the thread could not be made.
    bool Start();
    int LibraryFd() const { return libraryFd_; }

  private:
    void Run();

    int busFd_;
    int ownFd_ = -1;
    int libraryFd_ = -1;
    std::thread thread_;
};

}  // namespace merel::dbus
