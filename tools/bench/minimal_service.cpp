// merel-bench-minimal: the least that an sd-bus service does, one method and its bus name, as
// the reference for the product's activation time and memory. Ends on SIGTERM.
#include <cstdint>
#include <cstdlib>

#include <systemd/sd-bus.h>

namespace {

int Status(sd_bus_message* call, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(call, "yyyy", 0, 0, 0, 0);
}

const sd_bus_vtable kTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Status", "", "yyyy", Status, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// The bus that started us, as the product finds it.
int Connect(sd_bus** bus) {
    const char* address = std::getenv("DBUS_STARTER_ADDRESS");
    if (address == nullptr) return sd_bus_open_user(bus);
    int r = sd_bus_new(bus);
    if (r >= 0) r = sd_bus_set_address(*bus, address);
    if (r >= 0) r = sd_bus_set_bus_client(*bus, 1);
    if (r >= 0) r = sd_bus_start(*bus);
    return r;
}

}  // namespace

int main() {
    sd_bus* bus = nullptr;
    if (Connect(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/Minimal", "MerelBench.Minimal", kTable, nullptr) <
            0 ||
        sd_bus_request_name(bus, "MerelBench.Minimal", 0) < 0) {
        return 1;
    }
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) return 1;
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
    }
}
