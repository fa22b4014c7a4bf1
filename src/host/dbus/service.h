// Serving the manager on the bus until the server has been idle long enough.
#pragma once

#include <memory>
#include <string>

#include <systemd/sd-bus.h>

#include "host/dbus/bus_relay.h"
#include "host/dbus/command_line.h"

namespace merel::dbus {

// The bus to serve on: the system bus when asked for, else the one that started this process,
// or the session bus.
struct BusChoice {
    enum class Kind { kAddress, kSystem, kSession } kind;
    std::string address;  // for kAddress
};
BusChoice ChooseBus(bool systemBus, const char* starterAddress, const char* starterBusType);

// Connects as a bus client, through a relay (which must outlive the bus) when the bus is
// reached by a unix socket. Returns 0 or a negative errno.
int ConnectBus(const BusChoice& choice, sd_bus** bus, std::unique_ptr<BusRelay>& relay);

// Runs the server: takes the bus name and serves until the server has been idle for the idle
// time or a stop signal comes. This thread reads the bus, queues the calls, answers them when
// the worker thread that owns the manager has carried them out, and follows the clients.
// Returns the process exit code.
int RunService(const ServiceOptions& options);

}  // namespace merel::dbus
