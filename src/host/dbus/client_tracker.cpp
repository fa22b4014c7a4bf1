#include "host/dbus/client_tracker.h"

namespace merel::dbus {

ClientTracker::ClientTracker(sd_bus* bus, Lifetime& lifetime) : bus_(bus), lifetime_(lifetime) {}

ClientTracker::~ClientTracker() {
    for (auto& [name, client] : clients_) sd_bus_track_unref(client->track);
}

void ClientTracker::OnCall(sd_bus_message* call) {
    const char* sender = sd_bus_message_get_sender(call);
    if (sender == nullptr) return;  // a direct connection has no peers to follow

    if (auto it = clients_.find(sender); it != clients_.end()) {
        // Recursive tracking counts the calls; the reference ends with the client anyway.
        sd_bus_track_add_sender(it->second->track, call);
        return;
    }

    auto client = std::make_unique<Client>(Client{this, sender, nullptr});
    if (sd_bus_track_new(bus_, &client->track, &ClientTracker::OnClientGone, client.get()) < 0) {
        return;
    }
    if (sd_bus_track_set_recursive(client->track, 1) < 0 ||
        sd_bus_track_add_sender(client->track, call) < 0) {
        // The client left before it could be followed (or no memory): it holds nothing.
        // Freeing the empty tracking object now keeps its handler from ever running.
        sd_bus_track_unref(client->track);
        return;
    }
    clients_.emplace(client->name, std::move(client));
    lifetime_.Lock();
}

int ClientTracker::OnClientGone(sd_bus_track* track, void* userdata) {
    auto* client = static_cast<Client*>(userdata);
    ClientTracker* owner = client->owner;
    // The bus library holds its own reference while this handler runs.
    sd_bus_track_unref(track);
    const std::string name = client->name;
    owner->clients_.erase(name);  // frees `client`
    owner->lifetime_.Unlock();
    // Anything but a positive result makes the library call this handler again.
    return 1;
}

}  // namespace merel::dbus
