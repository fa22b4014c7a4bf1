#include "host/dbus/client_tracker.h"

#include <cerrno>
#include <utility>

namespace merel::dbus {

ClientTracker::ClientTracker(sd_bus* bus, Lifetime& lifetime,
                             std::function<void(const std::string& client)> onLeft)
    : bus_(bus), lifetime_(lifetime), onLeft_(std::move(onLeft)) {}

ClientTracker::~ClientTracker() {
    for (auto& [name, client] : clients_) sd_bus_track_unref(client->track);
}

ClientTracker::Caller ClientTracker::OnCall(sd_bus_message* call) {
    const char* sender = sd_bus_message_get_sender(call);
    if (sender == nullptr) return Caller::kUnfollowed;  // a direct connection has no peers

    if (auto it = clients_.find(sender); it != clients_.end()) {
        // Recursive tracking counts the calls; the reference ends with the client anyway.
        sd_bus_track_add_sender(it->second->track, call);
        return Caller::kFollowed;
    }

    auto client = std::make_unique<Client>(Client{this, sender, nullptr});
    if (sd_bus_track_new(bus_, &client->track, &ClientTracker::OnClientGone, client.get()) < 0) {
        return Caller::kUnfollowed;
    }
    int r = sd_bus_track_set_recursive(client->track, 1);
    if (r >= 0) r = sd_bus_track_add_sender(client->track, call);
    if (r < 0) {
        // The client holds nothing. Freeing the empty tracking object now keeps its handler
        // from ever running.
        sd_bus_track_unref(client->track);
        // The bus's answer when the name has no owner any more: the client left before it
        // could be followed.
        return r == -ENXIO ? Caller::kGone : Caller::kUnfollowed;
    }
    clients_.emplace(client->name, std::move(client));
    lifetime_.Lock();
    return Caller::kFollowed;
}

int ClientTracker::OnClientGone(sd_bus_track* track, void* userdata) {
    auto* client = static_cast<Client*>(userdata);
    ClientTracker* owner = client->owner;
    // The bus library holds its own reference while this handler runs.
    sd_bus_track_unref(track);
    const std::string name = client->name;
    owner->clients_.erase(name);  // frees `client`
    if (owner->onLeft_) owner->onLeft_(name);
    owner->lifetime_.Unlock();
    // Anything but a positive result makes the library call this handler again.
    return 1;
}

}  // namespace merel::dbus
