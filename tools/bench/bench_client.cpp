// merel-bench-client: the timing side of tools/bench.sh, on the session bus that the script
// set up. Each command prints sample lines "KEY VALUE..." (ms, or MB for memory) for
// merel-bench-report.
//
//   rtt CALLS RUNS TARGET...        warm round trips; per run the median and the 99th percentile
//   first CLIENTS RUNS TARGET...    the first call of a fresh client; per run the median
//   send text|pdu KEY               one send to the modem; its duration
//   life TARGET CALLS KEY [wait]    first call to a service that is not running (activation),
//                                   memory after it and after CALLS and 2 × CALLS more calls; then
//                                   the service ends by itself once this client has gone (wait:
//                                   the time that takes) or is ended by SIGTERM
//   during-send KEY                 Peer.Ping while a send runs, and a status call queued
//                                   behind the send
//   parallel N KEY                  N clients each sending one message at the same moment
//   hold TARGET SECONDS [INSTANCE]  one call, then prints the service's pid and stays connected;
//                                   with INSTANCE, to that instance of the product
//
// TARGET: status, settings, ping (Peer.Ping to the product), getid (the bus daemon's GetId),
// minimal (the reference service's Status), minimal-ping.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <systemd/sd-bus.h>

#include "interface/instance_name.h"
#include "interface/names.h"
#include "stats.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Target {
    std::string_view name;
    const char* destination;
    const char* path;
    const char* interface;
    const char* method;
};

constexpr const char* kPeer = "org.freedesktop.DBus.Peer";
constexpr const char* kMinimal = "MerelBench.Minimal";
constexpr Target kTargets[] = {
    {"status", merel::wire::kBusName, merel::wire::kObjectPath, merel::wire::kInterface,
     "GetSMSManagerStatus"},
    {"settings", merel::wire::kBusName, merel::wire::kObjectPath, merel::wire::kInterface,
     "GetSettings"},
    {"ping", merel::wire::kBusName, merel::wire::kObjectPath, kPeer, "Ping"},
    {"getid", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId"},
    {"minimal", kMinimal, "/Minimal", kMinimal, "Status"},
    {"minimal-ping", kMinimal, "/Minimal", kPeer, "Ping"},
};

const Target* FindTarget(std::string_view name) {
    for (const Target& t : kTargets) {
        if (t.name == name) return &t;
    }
    return nullptr;
}

// A long wait: twenty queued sends take over 100 s.
constexpr std::uint64_t kCallTimeoutUsec = 300'000'000;

struct BusUnref {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;

Bus Connect() {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0) {
        std::fprintf(stderr, "merel-bench-client: cannot connect to the bus: %s\n",
                     std::strerror(-r));
        std::exit(1);
    }
    return Bus(bus);
}

// One call; the arguments of a send are appended by `append`. Exits on a failed call: a
// benchmark of failing calls would measure the wrong thing.
template <typename Append>
void Call(sd_bus* bus, const Target& t, Append append) {
    sd_bus_message* m = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error{};
    int r = sd_bus_message_new_method_call(bus, &m, t.destination, t.path, t.interface, t.method);
    if (r >= 0) r = append(m);
    if (r >= 0) r = sd_bus_call(bus, m, kCallTimeoutUsec, &error, &reply);
    if (r < 0) {
        std::fprintf(stderr, "merel-bench-client: %s failed: %s\n", t.method,
                     error.message ? error.message : std::strerror(-r));
        std::exit(1);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(m);
}

void Call(sd_bus* bus, const Target& t) {
    Call(bus, t, [](sd_bus_message*) { return 0; });
}

constexpr const char* kNumber = "+49 170 1234567";
constexpr const char* kText = "Benchmark";

void Send(sd_bus* bus, bool pdu) {
    const Target text{"", merel::wire::kBusName, merel::wire::kObjectPath, merel::wire::kInterface,
                      pdu ? "SendPDUMessage" : "SendTextMessage"};
    Call(bus, text, [pdu](sd_bus_message* m) {
        return pdu ? sd_bus_message_append(m, "ss", kNumber, kText)
                   : sd_bus_message_append(m, "ssi", kNumber, kText, 0);
    });
}

void PrintSamples(const std::string& key, const std::vector<double>& values) {
    std::printf("%s", key.c_str());
    for (double v : values) std::printf(" %.4f", v);
    std::printf("\n");
    std::fflush(stdout);
}

void Calls(sd_bus* bus, const Target& t, int calls) {
    for (int i = 0; i < calls; ++i) Call(bus, t);
}

int Usage() {
    std::fputs(
        "usage: merel-bench-client rtt CALLS RUNS TARGET... | first CLIENTS RUNS TARGET... |\n"
        "       send text|pdu KEY |\n"
        "       life TARGET CALLS KEY [wait] | during-send KEY | parallel N KEY |\n"
        "       hold TARGET SECONDS [INSTANCE]\n",
        stderr);
    return 2;
}

// The targets take turns call by call, so that a busy moment of the machine falls on all alike,
// and the order of the turn moves on by one every call, so that no target always follows the
// same one (and finds the service's caches as that one left them).
int Rtt(int calls, int runs, const std::vector<std::string>& names) {
    Bus bus = Connect();
    std::vector<const Target*> targets;
    for (const std::string& name : names) {
        targets.push_back(FindTarget(name));
        if (!targets.back()) return Usage();
        Call(bus.get(), *targets.back());  // started, and the connection warm, before timing
    }
    std::vector<std::vector<double>> medians(targets.size()), p99s(targets.size());
    for (int run = 0; run < runs; ++run) {
        std::vector<std::vector<double>> times(targets.size());
        for (int call = 0; call < calls; ++call) {
            for (std::size_t turn = 0; turn < targets.size(); ++turn) {
                const std::size_t i = (turn + static_cast<std::size_t>(call)) % targets.size();
                const auto start = Clock::now();
                Call(bus.get(), *targets[i]);
                times[i].push_back(MsSince(start));
            }
        }
        for (std::size_t i = 0; i < targets.size(); ++i) {
            medians[i].push_back(merel::bench::Summarize(times[i])->median);
            p99s[i].push_back(merel::bench::Percentile(times[i], 99));
        }
    }
    for (std::size_t i = 0; i < targets.size(); ++i) {
        PrintSamples(names[i] + "_median", medians[i]);
        PrintSamples(names[i] + "_p99", p99s[i]);
    }
    return 0;
}

// Every one-shot client (each run of merel-sms) is a caller that the service has never seen.
// Each fresh connection first asks the bus daemon (its set-up is not timed), then makes one
// timed call; the targets take turns client by client, in a rotating order as in Rtt.
int First(int clients, int runs, const std::vector<std::string>& names) {
    std::vector<const Target*> targets;
    for (const std::string& name : names) {
        targets.push_back(FindTarget(name));
        if (!targets.back()) return Usage();
    }
    const Target& getid = *FindTarget("getid");
    std::vector<std::vector<double>> medians(targets.size());
    for (int run = 0; run < runs; ++run) {
        std::vector<std::vector<double>> times(targets.size());
        for (int client = 0; client < clients; ++client) {
            for (std::size_t turn = 0; turn < targets.size(); ++turn) {
                const std::size_t i = (turn + static_cast<std::size_t>(client)) % targets.size();
                Bus bus = Connect();
                Call(bus.get(), getid);
                const auto start = Clock::now();
                Call(bus.get(), *targets[i]);
                times[i].push_back(MsSince(start));
            }
        }
        for (std::size_t i = 0; i < targets.size(); ++i) {
            medians[i].push_back(merel::bench::Summarize(times[i])->median);
        }
    }
    for (std::size_t i = 0; i < targets.size(); ++i) PrintSamples(names[i] + "_first", medians[i]);
    return 0;
}

pid_t OwnerPid(sd_bus* bus, const char* name) {
    sd_bus_creds* creds = nullptr;
    pid_t pid = 0;
    if (sd_bus_get_name_creds(bus, name, SD_BUS_CREDS_PID, &creds) >= 0) {
        sd_bus_creds_get_pid(creds, &pid);
    }
    sd_bus_creds_unref(creds);
    return pid;
}

struct Memory {
    double rss = 0, hwm = 0, anon = 0;  // VmRSS, VmHWM and RssAnon, in MB
};

Memory MemoryOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    Memory m;
    for (std::string line; std::getline(status, line);) {
        const std::size_t colon = line.find(':');
        const std::string_view name = std::string_view(line).substr(0, colon);
        double* field = name == "VmRSS"     ? &m.rss
                        : name == "VmHWM"   ? &m.hwm
                        : name == "RssAnon" ? &m.anon
                                            : nullptr;
        if (field) *field = std::stod(line.substr(colon + 1)) / 1024;
    }
    return m;
}

bool Running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const std::size_t state = text.rfind(") ");
    return state != std::string::npos && text.compare(state + 2, 1, "Z") != 0;
}

// Waits up to `seconds` for `pid` to end; the ms it took, or -1.
double WaitGone(pid_t pid, double seconds) {
    const auto start = Clock::now();
    while (Running(pid)) {
        if (MsSince(start) > seconds * 1000) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return MsSince(start);
}

int Life(const Target& t, int calls, const std::string& key, bool waitForEnd) {
    Bus bus = Connect();
    Call(bus.get(), *FindTarget("getid"));  // the connection's own set-up is not timed
    const auto begin = Clock::now();
    Call(bus.get(), t);
    const double cold = MsSince(begin);
    const pid_t pid = OwnerPid(bus.get(), t.destination);
    if (pid <= 0) {
        std::fprintf(stderr, "merel-bench-client: no process owns %s\n", t.destination);
        return 1;
    }
    // Twice the calls: growth from the first batch to the second would be a leak, while the
    // first batch may still warm up buffers.
    const Memory start = MemoryOf(pid);
    Calls(bus.get(), t, calls);
    const Memory after = MemoryOf(pid);
    Calls(bus.get(), t, calls);
    const Memory again = MemoryOf(pid);
    PrintSamples(key + "_cold", {cold});
    PrintSamples(key + "_rss_start", {start.rss});
    PrintSamples(key + "_anon_start", {start.anon});
    PrintSamples(key + "_rss_after", {after.rss});
    PrintSamples(key + "_hwm_after", {after.hwm});
    PrintSamples(key + "_rss_again", {again.rss});
    if (!waitForEnd) kill(pid, SIGTERM);
    bus.reset();  // the last client leaves
    const double gone = WaitGone(pid, 20);
    if (gone < 0) {
        std::fprintf(stderr, "merel-bench-client: %s did not end\n", t.destination);
        return 1;
    }
    if (waitForEnd) PrintSamples(key + "_exit", {gone});
    return 0;
}

int SendOnce(bool pdu, const std::string& key) {
    Bus bus = Connect();
    const auto start = Clock::now();
    Send(bus.get(), pdu);
    PrintSamples(key, {MsSince(start)});
    return 0;
}

// Peer.Ping every 5 ms until `endMs` after `start`. The same pacing with and without a send
// running keeps the comparison fair: a client that pauses between calls finds caches and
// sleeping cores colder than one that calls back to back.
std::vector<double> PacedPings(sd_bus* bus, Clock::time_point start, double endMs) {
    const Target& ping = *FindTarget("ping");
    std::vector<double> times;
    while (MsSince(start) < endMs) {
        const auto t = Clock::now();
        Call(bus, ping);
        times.push_back(MsSince(t));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return times;
}

int DuringSend(const std::string& key) {
    Bus sender = Connect(), other = Connect();
    Call(other.get(), *FindTarget("ping"));
    const auto idle = PacedPings(other.get(), Clock::now(), 2000);
    const auto start = Clock::now();
    Clock::time_point sendDone;
    std::thread send([&] {
        Send(sender.get(), false);
        sendDone = Clock::now();
    });
    // From shortly after the send began until a second before its end.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto busy = PacedPings(other.get(), start, 3800);
    const auto statusStart = Clock::now();
    Call(other.get(), *FindTarget("status"));  // waits behind the send
    const auto statusDone = Clock::now();
    send.join();
    using merel::bench::Summarize;
    PrintSamples(key + "_idle_ping_median", {Summarize(idle)->median});
    PrintSamples(key + "_idle_ping_max", {Summarize(idle)->max});
    PrintSamples(key + "_ping_median", {Summarize(busy)->median});
    PrintSamples(key + "_ping_max", {Summarize(busy)->max});
    using Ms = std::chrono::duration<double, std::milli>;
    PrintSamples(key + "_status_wait", {Ms(statusDone - statusStart).count()});
    PrintSamples(key + "_send_rest", {Ms(sendDone - statusStart).count()});
    return 0;
}

int Parallel(int clients, const std::string& key) {
    std::vector<Bus> buses;
    for (int i = 0; i < clients; ++i) buses.push_back(Connect());
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    // Call() exits the process on a failed send, so every thread that returns had S_OK.
    std::atomic<int> ok = 0;
    for (Bus& bus : buses) {
        threads.emplace_back([&bus, &ok] {
            Send(bus.get(), false);
            ++ok;
        });
    }
    for (auto& t : threads) t.join();
    PrintSamples(key + "_total", {MsSince(start)});
    PrintSamples(key + "_ok", {static_cast<double>(ok.load())});
    return 0;
}

int Hold(Target t, double seconds, const std::string& instance) {
    const std::string busName = merel::wire::InstanceBusName(instance);
    if (std::string_view(t.destination) == merel::wire::kBusName) t.destination = busName.c_str();
    Bus bus = Connect();
    Call(bus.get(), t);
    std::printf("%d\n", static_cast<int>(OwnerPid(bus.get(), t.destination)));
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> a(argv + 1, argv + argc);
    auto target = [&a](std::size_t i) { return i < a.size() ? FindTarget(a[i]) : nullptr; };
    if (a.size() >= 4 && a[0] == "rtt") {
        return Rtt(std::stoi(a[1]), std::stoi(a[2]), {a.begin() + 3, a.end()});
    }
    if (a.size() >= 4 && a[0] == "first") {
        return First(std::stoi(a[1]), std::stoi(a[2]), {a.begin() + 3, a.end()});
    }
    if (a.size() == 3 && a[0] == "send" && (a[1] == "text" || a[1] == "pdu")) {
        return SendOnce(a[1] == "pdu", a[2]);
    }
    if ((a.size() == 4 || (a.size() == 5 && a[4] == "wait")) && a[0] == "life" && target(1)) {
        return Life(*target(1), std::stoi(a[2]), a[3], a.size() == 5);
    }
    if (a.size() == 2 && a[0] == "during-send") return DuringSend(a[1]);
    if (a.size() == 3 && a[0] == "parallel") return Parallel(std::stoi(a[1]), a[2]);
    if ((a.size() == 3 || a.size() == 4) && a[0] == "hold" && target(1)) {
        return Hold(*target(1), std::stod(a[2]), a.size() == 4 ? a[3] : "");
    }
    return Usage();
}
