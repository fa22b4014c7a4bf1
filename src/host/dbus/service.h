// Serving the manager on the bus until the server has been idle long enough.
#pragma once

#include <string>

#include <systemd/sd-bus.h>

namespace merel::dbus {

// The bus to serve on: the one that started this process, or the session bus.
struct BusChoice {
    enum class Kind { kAddress, kSystem, kSession } kind;
    std::string address;  // for kAddress
};
BusChoice ChooseBus(const char* starterAddress, const char* starterBusType);

// Connects as a bus client. Returns 0 or a negative errno.
int ConnectBus(const BusChoice& choice, sd_bus** bus);

// Idle time before the server ends, and the pause before the process exits.
inline constexpr int kIdleTimeoutMs = 5000;
inline constexpr int kExitPauseMs = 1000;

// Runs the server: takes the bus name, serves calls one at a time on this thread, and returns
// the process exit code when the server has ended.
int RunService();

}  // namespace merel::dbus
