// merel-bench-report: turns the samples that tools/bench.sh collected, and modem-sim's
// transcript of the sends, into the table of results: bench.md and bench.json in OUTDIR, the
// table on standard output.
//
//   merel-bench-report SAMPLES TRANSCRIPT OUTDIR CLIENTS SPREAD
//
// CLIENTS: the clients that sent at once; SPREAD: the SMS sent through one instance and then
// through two.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "report.h"

namespace {

using merel::bench::Goal;
using merel::bench::RowSpec;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteAll(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

Goal AtMost(double ratio) {
    return {Goal::Kind::kRatioAtMost, ratio};
}
Goal AtLeast(double ratio) {
    return {Goal::Kind::kRatioAtLeast, ratio};
}
Goal Within(double limit) {
    return {Goal::Kind::kWithin, limit};
}

// Text mode writes five commands and PDU mode six, each followed by its 1000 ms pause.
constexpr int kTextFloorMs = 5000;

std::vector<RowSpec> Rows(int clients, int spread) {
    const std::string n = std::to_string(clients);
    const std::string sms = std::to_string(spread);
    const std::string parallelFloor = std::to_string(clients * kTextFloorMs);
    // clang-format off
    return {
        {"text send (5 writes)", "ms", "send_text", "5000", "floor", AtMost(1.005), true},
        {"PDU send (6 writes)", "ms", "send_pdu", "6000", "floor", AtMost(1.005), true},
        // An answering modem gives its verdict 2.5 s after the message: AT$RESET waits for it.
        {"text send, answering modem", "ms", "send_text_answering", "6500", "floor",
            AtMost(1.005), true},
        {"PDU send, answering modem", "ms", "send_pdu_answering", "7500", "floor",
            AtMost(1.005), true},
        {"write spacing, first byte to first byte", "ms", "spacing", "1000", "pause", Within(5)},
        {"GetSMSManagerStatus round trip, median of 1000", "ms", "status_median", "ping_median",
            "Peer.Ping", AtMost(1.1)},
        {"GetSMSManagerStatus round trip, p99 of 1000", "ms", "status_p99", "ping_p99",
            "Peer.Ping", {}},
        {"GetSettings round trip, median of 1000", "ms", "settings_median", "ping_median",
            "Peer.Ping", AtMost(1.1)},
        {"GetSMSManagerStatus, first call of a fresh client, median", "ms",
            "status_first", "ping_first", "its Peer.Ping", AtMost(1.2)},
        {"Peer.Ping to the service, median of 1000", "ms", "ping_median", "getid_median",
            "bus daemon GetId", {}},
        {"cold activation, first call", "ms", "product_cold", "minimal_cold", "minimal service",
            AtMost(1.2)},
        {"VmRSS after start", "MB", "product_rss_start", "minimal_rss_start", "minimal service",
            AtMost(1.3)},
        {"RssAnon (private memory) after start", "MB", "product_anon_start",
            "minimal_anon_start", "minimal service", {}},
        {"VmRSS after 10 000 calls", "MB", "product_rss_after", "product_rss_start",
            "after start", AtMost(1.0)},
        {"VmRSS after 20 000 calls", "MB", "product_rss_again", "product_rss_after",
            "after 10 000", AtMost(1.0)},
        {"VmHWM after 10 000 calls", "MB", "product_hwm_after", "minimal_hwm_after",
            "minimal service", AtMost(1.3)},
        {"system calls while idle for 3 s", "calls", "product_idle_syscalls",
            "minimal_idle_syscalls", "minimal service", Within(0)},
        {"last client gone to process end", "ms", "product_exit", "6000", "idle time + pause",
            {}},
        {"Peer.Ping every 5 ms during a send, median", "ms", "during_ping_median",
            "during_idle_ping_median", "the same without a send", AtMost(2)},
        {"Peer.Ping every 5 ms during a send, slowest", "ms", "during_ping_max",
            "during_idle_ping_max", "the same without a send", {}},
        {"status call queued behind a send: its wait", "ms", "during_status_wait",
            "during_send_rest", "the send's remaining time", {}},
        {n + " clients each sending one SMS at once: total", "ms", "parallel_total",
            parallelFloor, n + " × floor", AtMost(1.01), true},
        {n + " clients each sending one SMS at once: replies S_OK", "replies", "parallel_ok", n,
            "clients", Within(0)},
        // The same send as merel-sms's, the two taking turns; the front runs it in process.
        {"text send through merel-sms-http: POST /v1/messages", "ms", "http_v1", "http_direct",
            "merel-sms send", AtMost(1.01), true},
        {"text send through merel-sms-http: GET /cgi-bin/sendsms", "ms", "http_sendsms",
            "http_direct", "merel-sms send", AtMost(1.01), true},
        // Twice the modems, twice the SMS: within 1 %.
        {sms + " SMS spread over two instances at once", "SMS/min", "two_instances_rate",
            "one_instance_rate", "through one instance", AtLeast(1.98)},
        {"Wine: cold CoCreateInstance", "ms", "com_cold_create", "com_warm_create",
            "CoCreateInstance, server running", {}},
        {"Wine: IDispatch::Invoke GetSMSManagerStatus, median of 1000", "ms",
            "com_invoke_median", "com_typeinfocount_median", "GetTypeInfoCount", {}},
    };
    // clang-format on
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fputs("usage: merel-bench-report SAMPLES TRANSCRIPT OUTDIR CLIENTS SPREAD\n", stderr);
        return 2;
    }
    auto samples = merel::bench::ParseSamples(ReadAll(argv[1]));
    const auto spacings = merel::bench::WriteSpacings(ReadAll(argv[2]));
    if (!spacings.empty()) samples.values["spacing"] = spacings;
    const auto rows =
        merel::bench::BuildRows(Rows(std::stoi(argv[4]), std::stoi(argv[5])), samples);
    const std::string table = merel::bench::MarkdownTable(rows);
    const std::string dir = argv[3];
    if (!WriteAll(dir + "/bench.md", table) ||
        !WriteAll(dir + "/bench.json", merel::bench::Json(rows))) {
        std::fprintf(stderr, "merel-bench-report: cannot write into %s\n", dir.c_str());
        return 1;
    }
    std::fputs(table.c_str(), stdout);
    return 0;
}
