// The clients' references: a client holds one from its first call until it leaves the bus,
// and the server's lock count follows the clients that hold one.
#pragma once

#include <functional>
#include <map>
#include <memory>
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

    enum class Caller {
        kFollowed,    // its departure will be reported
        kUnfollowed,  // no peer to follow (a direct connection), or the bus refused to
        kGone,        // it has left the bus already
    };
    // Records a call. The first call of a client locks the server.
    Caller OnCall(sd_bus_message* call);
    std::size_t ClientCount() const { return clients_.size(); }

  private:
    struct Client {
        ClientTracker* owner;
        std::string name;
        sd_bus_track* track;
    };
    static int OnClientGone(sd_bus_track* track, void* userdata);

    sd_bus* bus_;
    Lifetime& lifetime_;
    std::function<void(const std::string&)> onLeft_;
    // One tracking object per client: the bus library reports only when a tracking object
    // becomes empty, and each client's departure must unlock once.
    std::map<std::string, std::unique_ptr<Client>> clients_;
};

}  // namespace merel::dbus
