#include "host/dbus/service.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include <systemd/sd-event.h>

#include "base/errno_map.h"
#include "base/hresult.h"
#include "host/dbus/bus_errors.h"
#include "host/dbus/bus_names.h"
#include "host/dbus/bus_object.h"
#include "host/dbus/client_tracker.h"
#include "host/lifetime/lifetime.h"
#include "manager/sms_mgr.h"

namespace merel::dbus {

namespace {

// sd_event_exit codes: ours for an orderly end; the bus library uses EXIT_FAILURE when the
// bus goes away.
constexpr int kOrderlyEnd = 0;

HRESULT FromNegativeErrno(int r) {
    return FoldError(Win32ErrorFromErrno(-r));
}

int Fail(const char* what, int r) {
    const HRESULT hr = FromNegativeErrno(r);
    std::fprintf(stderr, "MerelSMSManager: %s: %s (%s)\n", what, std::strerror(-r),
                 FormatHResult(hr).c_str());
    return static_cast<int>(hr);
}

struct EventUnref {
    void operator()(sd_event* e) const { sd_event_unref(e); }
};
struct BusClose {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
struct FdClose {
    int fd = -1;
    ~FdClose() {
        if (fd >= 0) close(fd);
    }
};

// The orderly end, run inside the loop because leaving the loop closes the bus: new calls for
// the name now start a new server, and calls that reached this one are still answered.
int EndOrderly(sd_event_source* source, sd_bus* bus) {
    sd_bus_release_name(bus, kBusName);
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    sd_bus_flush(bus);
    return sd_event_exit(sd_event_source_get_event(source), kOrderlyEnd);
}

int OnQuitRequested(sd_event_source* source, int fd, std::uint32_t, void* bus) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd, &count, sizeof count);
    return EndOrderly(source, static_cast<sd_bus*>(bus));
}

int OnStopSignal(sd_event_source* source, const signalfd_siginfo*, void* bus) {
    return EndOrderly(source, static_cast<sd_bus*>(bus));
}

}  // namespace

BusChoice ChooseBus(const char* starterAddress, const char* starterBusType) {
    if (starterAddress != nullptr && *starterAddress != '\0') {
        return {BusChoice::Kind::kAddress, starterAddress};
    }
    if (starterBusType != nullptr && std::string_view(starterBusType) == "system") {
        return {BusChoice::Kind::kSystem, {}};
    }
    return {BusChoice::Kind::kSession, {}};
}

int ConnectBus(const BusChoice& choice, sd_bus** bus) {
    switch (choice.kind) {
        case BusChoice::Kind::kSystem:
            return sd_bus_open_system(bus);
        case BusChoice::Kind::kSession:
            return sd_bus_open_user(bus);
        case BusChoice::Kind::kAddress:
            break;
    }
    sd_bus* b = nullptr;
    int r = sd_bus_new(&b);
    if (r < 0) return r;
    if ((r = sd_bus_set_address(b, choice.address.c_str())) < 0 ||
        (r = sd_bus_set_bus_client(b, 1)) < 0 || (r = sd_bus_start(b)) < 0) {
        sd_bus_unref(b);
        return r;
    }
    *bus = b;
    return 0;
}

int RunService() {
    // The stop signals are taken by the event loop; block them before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // The monitor thread ends the loop through this descriptor: the loop is only ever touched
    // from this thread. It outlives the loop and the monitor, which both use it.
    FdClose quit{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    if (quit.fd < 0) return Fail("cannot create the quit event", -errno);

    sd_event* rawEvent = nullptr;
    int r = sd_event_new(&rawEvent);
    if (r < 0) return Fail("cannot create the event loop", r);
    std::unique_ptr<sd_event, EventUnref> event(rawEvent);

    CSMSMgr manager;

    sd_bus* rawBus = nullptr;
    r = ConnectBus(
        ChooseBus(std::getenv("DBUS_STARTER_ADDRESS"), std::getenv("DBUS_STARTER_BUS_TYPE")),
        &rawBus);
    if (r < 0) return Fail("cannot connect to the bus", r);
    std::unique_ptr<sd_bus, BusClose> bus(rawBus);

    if ((r = sd_event_add_io(event.get(), nullptr, quit.fd, EPOLLIN, OnQuitRequested, bus.get())) <
            0 ||
        (r = sd_event_add_signal(event.get(), nullptr, SIGTERM, OnStopSignal, bus.get())) < 0 ||
        (r = sd_event_add_signal(event.get(), nullptr, SIGINT, OnStopSignal, bus.get())) < 0) {
        return Fail("cannot set up the event loop", r);
    }

    const int quitFd = quit.fd;
    Lifetime lifetime(std::chrono::milliseconds(kIdleTimeoutMs),
                      std::chrono::milliseconds(kExitPauseMs), [quitFd] {
                          const std::uint64_t one = 1;
                          [[maybe_unused]] const ssize_t n = write(quitFd, &one, sizeof one);
                      });
    ClientTracker tracker(bus.get(), lifetime);
    SmsMgrBusObject object(manager, [&tracker](sd_bus_message* call) { tracker.OnCall(call); });

    if ((r = object.Publish(bus.get())) < 0) return Fail("cannot publish the object", r);
    if ((r = sd_bus_attach_event(bus.get(), event.get(), SD_EVENT_PRIORITY_NORMAL)) < 0 ||
        (r = sd_bus_set_exit_on_disconnect(bus.get(), 1)) < 0) {
        return Fail("cannot attach the bus to the event loop", r);
    }
    if ((r = sd_bus_request_name(bus.get(), kBusName, 0)) < 0) {
        return Fail("cannot take the bus name MerelSMSManager.SMSMgr", r);
    }
    if (!lifetime.StartMonitor()) {
        std::fprintf(stderr, "MerelSMSManager: cannot start the monitor thread (%s)\n",
                     FormatHResult(kE_FAIL).c_str());
        return static_cast<int>(kE_FAIL);
    }
    // Idle from the start: a server started for a client that has already gone, or for a
    // look at its introspection data only, ends like one whose last client left.
    lifetime.Lock();
    lifetime.Unlock();

    const int loopResult = sd_event_loop(event.get());
    if (loopResult < 0) return Fail("the event loop failed", loopResult);
    // After an orderly end, calls in progress get the pause to finish; when the bus went away
    // there is nobody left to serve, so the process ends at once.
    if (loopResult == kOrderlyEnd) lifetime.PauseBeforeExit();
    return 0;
}

}  // namespace merel::dbus
