// The clients' references: a client holds one from its first call until it leaves the bus,
// and the server's lock count follows the clients that hold one.
#pragma once

#include <functional>
#include <set>
#include <string>

#include <systemd/sd-bus.h>

#include "host/lifetime/lifetime.h"

namespace merel::dbus {

class ClientTracker {
  public:
    // `onLeft` runs when a client that made calls has left the bus, with its unique name.
    ClientTracker(sd_bus* bus, Lifetime& lifetime,
                  std::function<void(const std::string& client)> onLeft = {});
    // Drops every reference without unlocking: the server is ending.
    ~ClientTracker();
    ClientTracker(const ClientTracker&) = delete;
    ClientTracker& operator=(const ClientTracker&) = delete;

    // Asks the bus for the departures of every client, once, with one match rule: one per
    // client would cost each new caller two round trips to the bus before its answer, and
    // the bus allows a connection only so many rules. Must be called before the server takes
    // its name, so that no client can call before departures are followed. Returns 0 or a
    // negative errno.
    int Start();

    enum class Caller {
        kFollowed,    // its departure will be reported
        kUnfollowed,  // no peer to follow (a direct connection)
    };
    // Records a call. The first call of a client locks the server.
    Caller OnCall(sd_bus_message* call);
    std::size_t ClientCount() const { return clients_.size(); }

  private:
    static int OnNameOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*);

    sd_bus* bus_;
    Lifetime& lifetime_;
    std::function<void(const std::string&)> onLeft_;
    sd_bus_slot* match_ = nullptr;
    std::set<std::string, std::less<>> clients_;
};

}  // namespace merel::dbus
