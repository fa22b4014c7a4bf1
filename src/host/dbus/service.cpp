#include "host/dbus/service.h"

#include <malloc.h>
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
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <systemd/sd-event.h>

#include "base/errno_map.h"
#include "base/hresult.h"
#include "base/narrow.h"
#include "host/dbus/activation_files.h"
#include "host/dbus/bus_errors.h"
#include "host/dbus/bus_object.h"
#include "host/dbus/call_journal.h"
#include "host/dbus/client_tracker.h"
#include "host/dbus/settings_folder.h"
#include "host/common/call_queue.h"
#include "interface/hresult_text.h"
#include "interface/instance_name.h"
#include "interface/names.h"
#include "host/lifetime/lifetime.h"
#include "interface/server_times.h"
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
                 wire::FormatHResult(hr).c_str());
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

// How long an ending server waits for the call that is running to finish before it exits
// without it. A quick call, or a send in its last steps, still gets its answer; a send held up
// by a stalled line is left behind, since a stop must not wait for the port's write limit.
constexpr std::chrono::milliseconds kStopGrace{2000};

// Allocations from this size on are mapped on their own (glibc's initial threshold, fixed).
constexpr int kOwnMappingFrom = 128 * 1024;

// What the bus thread serves with; the event loop's handlers get it as their user data.
struct Server {
    sd_bus* bus;
    Lifetime& lifetime;
    CallQueue& queue;
    ClientTracker& tracker;
    // Created here, then used and torn down only on the worker.
    std::unique_ptr<CSMSMgr>& manager;
    std::string busName;  // the well-known name served
};

void ReplyStopping(sd_bus_message* call) {
    ReplyHResultError(call, kCO_E_SERVER_STOPPING);
}

// Queues one call for the worker; its answer is sent when the worker is done with it.
int Serve(Server& s, sd_bus_message* call, SmsMgrBusObject::MethodCall method) {
    std::string caller;
    switch (s.tracker.OnCall(call)) {
        case ClientTracker::Caller::kFollowed:
            caller = sd_bus_message_get_sender(call);
            break;
        case ClientTracker::Caller::kUnfollowed:
            break;
    }
    CSMSMgr* manager = s.manager.get();
    HRESULT hr = kS_OK;
    if (method.quick && s.queue.RunNow([&] { return method.run(*manager); }, hr)) {
        const int r = method.reply(call, hr);
        return r < 0 ? r : 1;
    }
    sd_bus_message_ref(call);
    const CallQueue::Taken taken = s.queue.Push(
        std::move(caller), [manager, run = std::move(method.run)] { return run(*manager); },
        [call, reply = std::move(method.reply)](CallQueue::Outcome outcome, HRESULT hr) {
            if (outcome == CallQueue::Outcome::kRan) {
                reply(call, hr);
            } else if (outcome == CallQueue::Outcome::kStopped) {
                ReplyStopping(call);
            }  // a dropped call's client has gone: there is nobody to answer
            sd_bus_message_unref(call);
        });
    switch (taken) {
        case CallQueue::Taken::kQueued:
            break;
        case CallQueue::Taken::kFull:
            ReplyFailure(call, s.queue.FullFailure());
            sd_bus_message_unref(call);
            break;
        case CallQueue::Taken::kStopped:
            ReplyStopping(call);
            sd_bus_message_unref(call);
            break;
    }
    return 1;
}

// The worker has finished calls: answer them.
int OnCallsDone(sd_event_source*, int fd, std::uint32_t, void* server) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd, &count, sizeof count);
    static_cast<Server*>(server)->queue.Deliver();
    return 0;
}

// Tears the manager down on the worker, closing the port, once the running call (if any) has
// finished; calls still queued are answered that the server is stopping. Returns false when
// the worker did not finish within the grace time.
bool StopServing(Server& s) {
    const bool ended = s.queue.Stop([&manager = s.manager] { manager.reset(); }, kStopGrace);
    s.queue.Deliver();
    return ended;
}

// The end, run inside the loop because leaving the loop closes the bus. The port is closed
// before the name is released, so that a server started for the next call can open it; calls
// that reach this server in between are told that it is stopping.
int End(sd_event_source* source, Server& s, bool idle) {
    if (idle) {
        // Calls that reached the bus before the idle decision are taken first. One of them
        // may have come from a new client: then the server carries on, and the monitor, which
        // keeps watching, decides again once the count has been 0 for the idle time.
        while (sd_bus_process(s.bus, nullptr) > 0) {
        }
        if (s.lifetime.LockCount() > 0) return 0;
    }
    const bool ended = StopServing(s);
    sd_bus_release_name(s.bus, s.busName.c_str());
    while (sd_bus_process(s.bus, nullptr) > 0) {
    }
    sd_bus_flush(s.bus);
    if (!ended) {
        // The worker is still held up by the port; it cannot be waited for, nor can the
        // manager it is using be torn down under it. The system closes the port at exit.
        std::fprintf(stderr, "MerelSMSManager: a call was still running at the stop\n");
        std::fflush(stderr);
        _exit(0);
    }
    return sd_event_exit(sd_event_source_get_event(source), kOrderlyEnd);
}

int OnQuitRequested(sd_event_source* source, int fd, std::uint32_t, void* server) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd, &count, sizeof count);
    return End(source, *static_cast<Server*>(server), true);
}

int OnStopSignal(sd_event_source* source, const signalfd_siginfo*, void* server) {
    return End(source, *static_cast<Server*>(server), false);
}

// Empty when the working folder cannot be told.
std::string WorkingFolder() {
    std::string buffer(4096, '\0');
    if (getcwd(buffer.data(), buffer.size()) == nullptr) return {};
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

// The idle timer fired: the lifetime decides whether the server ends.
int OnIdleTime(sd_event_source*, std::uint64_t, void* lifetime) {
    static_cast<Lifetime*>(lifetime)->IdleTimeElapsed();
    return 0;
}

// How closely the idle timer may fire after its time; the loop may merge wake-ups within it.
constexpr std::uint64_t kIdleTimerAccuracyUsec = 1000;

// The settings folders made on the first save: the user's own is the user's alone.
std::int32_t MakeOwnFolder(const std::string& folder) {
    return MakeFolders(folder, 0700);
}
std::int32_t MakeSharedFolder(const std::string& folder) {
    return MakeFolders(folder, 0755);
}

// Makes `fd` readable for the event loop, from any thread.
void Signal(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}

}  // namespace

BusChoice ChooseBus(bool systemBus, const char* starterAddress, const char* starterBusType) {
    // A system service started by the system bus itself (no systemd) is given that bus's
    // address; an address left in the environment by a session must not move it elsewhere.
    const bool startedBySystemBus =
        starterBusType != nullptr && std::string_view(starterBusType) == "system";
    if (systemBus && !startedBySystemBus) return {BusChoice::Kind::kSystem, {}};
    if (starterAddress != nullptr && *starterAddress != '\0') {
        return {BusChoice::Kind::kAddress, starterAddress};
    }
    if (startedBySystemBus) return {BusChoice::Kind::kSystem, {}};
    return {BusChoice::Kind::kSession, {}};
}

namespace {

// The address sd-bus would connect to for the choice.
std::string AddressOf(const BusChoice& choice) {
    switch (choice.kind) {
        case BusChoice::Kind::kSystem:
            return SystemBusAddress(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"));
        case BusChoice::Kind::kSession:
            return SessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"),
                                     std::getenv("XDG_RUNTIME_DIR"));
        case BusChoice::Kind::kAddress:
            break;
    }
    return choice.address;
}

// Without a relay: for a bus reached other than by a unix socket.
int ConnectDirectly(const BusChoice& choice, sd_bus** bus) {
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

}  // namespace

int ConnectBus(const BusChoice& choice, sd_bus** bus, std::unique_ptr<BusRelay>& relay) {
    const std::string address = AddressOf(choice);
    const std::vector<UnixSocket> sockets = UnixSockets(address);
    if (sockets.empty()) {
        // No address at all is the bus library's to report, as it would without us.
        if (!address.empty()) {
            std::fprintf(stderr,
                         "MerelSMSManager: the bus address names no unix socket; each incoming "
                         "message is read whole, whatever its size\n");
        }
        return ConnectDirectly(choice, bus);
    }
    const int busFd = ConnectFirst(sockets);
    if (busFd < 0) return busFd;
    relay = std::make_unique<BusRelay>(busFd);
    if (!relay->Start()) return -errno;
    sd_bus* b = nullptr;
    int r = sd_bus_new(&b);
    if (r >= 0) r = sd_bus_set_fd(b, relay->LibraryInput(), relay->LibraryOutput());
    if (r < 0) {
        // Closing what the library would have owned ends the relay's thread.
        close(relay->LibraryInput());
        close(relay->LibraryOutput());
        sd_bus_unref(b);
        return r;
    }
    // The relay passes bytes only, no descriptors; the calls take none.
    if ((r = sd_bus_negotiate_fds(b, 0)) < 0 || (r = sd_bus_set_bus_client(b, 1)) < 0 ||
        (r = sd_bus_start(b)) < 0) {
        sd_bus_unref(b);
        return r;
    }
    *bus = b;
    return 0;
}

int RunService(const ServiceOptions& options) {
#if defined(__GLIBC__)
    // Large buffers get mappings of their own, handed back to the system when freed: after the
    // first large one, glibc would otherwise raise its threshold and keep the memory of the
    // next ones in the heap. The relay keeps the bus library's buffers small; without it (a bus
    // not reached by a unix socket) the library reads each message whole, up to 128 MiB.
    mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
#endif
    // The stop signals are taken by the event loop; block them before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // The monitor thread ends the loop, and the worker reports finished calls, through these
    // descriptors: the loop and the bus are only ever touched from this thread. They outlive
    // the loop and both threads.
    FdClose quit{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    FdClose done{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    if (quit.fd < 0 || done.fd < 0) return Fail("cannot create an event descriptor", -errno);

    sd_event* rawEvent = nullptr;
    int r = sd_event_new(&rawEvent);
    if (r < 0) return Fail("cannot create the event loop", r);
    std::unique_ptr<sd_event, EventUnref> event(rawEvent);

    std::string settingsFolder;
    const bool userConfig = options.settings == ServiceOptions::Settings::kUserConfig;
    if (options.settings != ServiceOptions::Settings::kBesideExecutable ||
        !options.instance.empty()) {
        std::string fallbackHome;
        const std::string working = WorkingFolder();
        const std::string executable = OwnExecutable();
        settingsFolder = SettingsFolder(
            options, std::getenv("XDG_CONFIG_HOME"), HomeFolder(fallbackHome), working,
            std::string_view(executable).substr(0, executable.empty() ? 0 : executable.rfind('/')));
        if (settingsFolder.empty()) return Fail("cannot tell the settings folder", -ENOENT);
    }
    // The user's own folder, and an instance's, may not exist yet: it is made on the first
    // save. The user's is the user's alone.
    FolderMakingFiles makingFiles(SystemSettingsFileSystem(), settingsFolder,
                                  userConfig ? MakeOwnFolder : MakeSharedFolder);
    CSMSMgr::Services services = CSMSMgr::SystemServices();
    if (userConfig || !options.instance.empty()) services.files = &makingFiles;
    auto manager = std::make_unique<CSMSMgr>(services);
    manager->m_strSettingsFolder = Utf8ToUtf16(settingsFolder);

    // Outlives the bus: its thread ends once the bus is closed.
    std::unique_ptr<BusRelay> relay;
    sd_bus* rawBus = nullptr;
    r = ConnectBus(ChooseBus(options.systemBus, std::getenv("DBUS_STARTER_ADDRESS"),
                             std::getenv("DBUS_STARTER_BUS_TYPE")),
                   &rawBus, relay);
    if (r < 0) return Fail("cannot connect to the bus", r);
    std::unique_ptr<sd_bus, BusClose> bus(rawBus);

    const int quitFd = quit.fd, doneFd = done.fd;
    Lifetime lifetime(kServerIdleTimeout, kServerExitPause, [quitFd] { Signal(quitFd); });
    CallQueue queue(lifetime, [doneFd] { Signal(doneFd); });
    ClientTracker tracker(bus.get(), lifetime,
                          [&queue](const std::string& client) { queue.DropCaller(client); });
    Server server{bus.get(), lifetime, queue,
                  tracker,   manager,  wire::InstanceBusName(options.instance)};
    SmsMgrBusObject object(
        [&server](sd_bus_message* call, SmsMgrBusObject::MethodCall method) {
            return Serve(server, call, std::move(method));
        },
        WriteCallRecord);

    if ((r = sd_event_add_io(event.get(), nullptr, quit.fd, EPOLLIN, OnQuitRequested, &server)) <
            0 ||
        (r = sd_event_add_io(event.get(), nullptr, done.fd, EPOLLIN, OnCallsDone, &server)) < 0 ||
        (r = sd_event_add_signal(event.get(), nullptr, SIGTERM, OnStopSignal, &server)) < 0 ||
        (r = sd_event_add_signal(event.get(), nullptr, SIGINT, OnStopSignal, &server)) < 0) {
        return Fail("cannot set up the event loop", r);
    }
    if ((r = object.Publish(bus.get())) < 0) return Fail("cannot publish the object", r);
    if ((r = sd_bus_attach_event(bus.get(), event.get(), SD_EVENT_PRIORITY_NORMAL)) < 0 ||
        (r = sd_bus_set_exit_on_disconnect(bus.get(), 1)) < 0) {
        return Fail("cannot attach the bus to the event loop", r);
    }
    if ((r = tracker.Start()) < 0) return Fail("cannot follow the clients on the bus", r);
    if ((r = sd_bus_request_name(bus.get(), server.busName.c_str(), 0)) < 0) {
        return Fail(("cannot take the bus name " + server.busName).c_str(), r);
    }
    // Every lock and unlock happens on this thread (calls, deliveries, departures), so the idle
    // time is a timer of the loop: no thread of its own waits for it. The loop owns the timer
    // (it floats), which so outlives every unlock; our own reference is given up at once.
    sd_event_source* idleTimer = nullptr;
    r = sd_event_add_time_relative(event.get(), &idleTimer, CLOCK_MONOTONIC,
                                   std::chrono::microseconds(kServerIdleTimeout).count(),
                                   kIdleTimerAccuracyUsec, OnIdleTime, &lifetime);
    if (r >= 0) {
        if ((r = sd_event_source_set_enabled(idleTimer, SD_EVENT_OFF)) >= 0) {
            r = sd_event_source_set_floating(idleTimer, 1);
        }
        sd_event_source_unref(idleTimer);
    }
    if (r < 0) return Fail("cannot set up the idle timer", r);
    lifetime.UseIdleTimer([idleTimer](Lifetime::Millis idle) {
        // Neither call can fail on a time source of this loop.
        sd_event_source_set_time_relative(idleTimer, std::chrono::microseconds(idle).count());
        sd_event_source_set_enabled(idleTimer, SD_EVENT_ONESHOT);
    });
    if (!queue.Start()) {
        std::fprintf(stderr, "MerelSMSManager: cannot start a thread (%s)\n",
                     wire::FormatHResult(kE_FAIL).c_str());
        return static_cast<int>(kE_FAIL);
    }
    // Idle from the start: a server started for a client that has already gone, or for a
    // look at its introspection data only, ends like one whose last client left.
    // A service kept running holds one lock of its own, which nothing gives back.
    lifetime.Lock();
    if (!options.keepRunning) lifetime.Unlock();

    const int loopResult = sd_event_loop(event.get());
    if (loopResult != kOrderlyEnd && !StopServing(server)) {
        // The bus went away (or the loop failed) while a call was held up: see End.
        _exit(loopResult < 0 ? static_cast<int>(FromNegativeErrno(loopResult)) : 0);
    }
    if (loopResult < 0) return Fail("the event loop failed", loopResult);
    // After an orderly end, calls in progress get the pause to finish; when the bus went away
    // there is nobody left to serve, so the process ends at once.
    if (loopResult == kOrderlyEnd) lifetime.PauseBeforeExit();
    return 0;
}

}  // namespace merel::dbus
