#include "host/dbus/client_tracker.h"

#include <string_view>
#include <utility>

namespace merel::dbus {

namespace {

// Only departures: the name's new owner is empty. A unique name is never given out again, so
// a departure reported after the client's last call still ends that client.
constexpr const char* kDepartures =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg2=''";

}  // namespace

ClientTracker::ClientTracker(sd_bus* bus, Lifetime& lifetime,
                             std::function<void(const std::string& client)> onLeft)
    : bus_(bus), lifetime_(lifetime), onLeft_(std::move(onLeft)) {}

ClientTracker::~ClientTracker() {
    sd_bus_slot_unref(match_);
}

int ClientTracker::Start() {
    return sd_bus_add_match(bus_, &match_, kDepartures, &ClientTracker::OnNameOwnerChanged, this);
}

ClientTracker::Caller ClientTracker::OnCall(sd_bus_message* call) {
    const char* sender = sd_bus_message_get_sender(call);
    if (sender == nullptr) return Caller::kUnfollowed;  // a direct connection has no peers
    // The bus delivers a client's calls before the signal of its departure, so a client that
    // has already left is followed here and ended when that signal is read.
    if (clients_.insert(sender).second) lifetime_.Lock();
    return Caller::kFollowed;
}

int ClientTracker::OnNameOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<ClientTracker*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    const auto it = self.clients_.find(std::string_view(name));
    if (it == self.clients_.end() || (newOwner != nullptr && *newOwner != '\0')) return 0;
    try {
        const std::string client = *it;
        self.clients_.erase(it);
        if (self.onLeft_) self.onLeft_(client);
    } catch (...) {
        // No memory for the name: the client is still ended, its queued calls run unanswered.
    }
    self.lifetime_.Unlock();
    return 0;
}

}  // namespace merel::dbus
