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

// Only what comes from the bus passes through the relay: the library writes to the bus itself,
// so that its answers take no detour.
class BusRelay {
  public:
    // Takes `busFd`, a connected socket to the bus.
    explicit BusRelay(int busFd);
    // Waits for the thread, which ends once the bus has gone (the library then reads the end)
    // or the library has closed the descriptor it reads.
    ~BusRelay();
    BusRelay(const BusRelay&) = delete;
    BusRelay& operator=(const BusRelay&) = delete;

    // False, with errno, when the descriptors or the thread could not be made. The library
    // then reads LibraryInput() and writes LibraryOutput(), and owns both.
    bool Start();
    int LibraryInput() const { return libraryInput_; }
    int LibraryOutput() const { return libraryOutput_; }

  private:
    void Run();

    int busFd_;
    int ownFd_ = -1;
    int libraryInput_ = -1;
    int libraryOutput_ = -1;
    std::thread thread_;
};

}  // namespace merel::dbus
