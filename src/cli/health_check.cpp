#include "cli/health_check.h"

namespace merel::cli {

namespace {

// The plugin format gives '|' to the performance data and reads one line only.
std::string Plain(const std::string& text) {
    std::string plain;
    for (char c : text) plain.push_back(c == '|' ? '/' : c == '\n' || c == '\r' ? ' ' : c);
    return plain;
}

HealthVerdict Verdict(int exitCode, const std::string& summary, const std::string& perf = {}) {
    static const char* const kStates[] = {"OK", "WARNING", "CRITICAL"};
    std::string line = std::string("MEREL-SMS ") + kStates[exitCode] + " - " + Plain(summary);
    if (!perf.empty()) line += " | " + perf;
    return {exitCode, line};
}

}  // namespace

HealthVerdict JudgeHealth(const HealthFacts& f) {
    if (f.unreachable) return Verdict(kHealthCritical, "no server: " + *f.unreachable);
    if (f.settingsUnread) return Verdict(kHealthCritical, "no settings: " + *f.settingsUnread);
    const std::string port = "port " + (f.port.empty() ? std::string("(none)") : f.port);
    if (f.portClosed) return Verdict(kHealthWarning, port + " closed: " + *f.portClosed);
    if (f.modemCheckFailed) {
        return Verdict(kHealthWarning, port + " open, modem check failed: " + *f.modemCheckFailed);
    }
    if (!f.modem) return Verdict(kHealthOk, port + " open");
    const ModemCheck& m = *f.modem;
    // A modem that answers nothing may still send: the server has always served such modems.
    if (!m.anyAnswer) return Verdict(kHealthOk, port + " open, modem silent (no answers)");
    std::string signal, perf;
    if (m.rssi) {
        const std::string dbm = std::to_string(SignalDbm(*m.rssi));
        signal = ", signal " + dbm + " dBm";
        perf = "signal=" + dbm + "dBm;;;";
    }
    if (!m.ready) {
        return Verdict(kHealthWarning, port + " open, modem not ready: " + m.problem + signal,
                       perf);
    }
    return Verdict(kHealthOk, port + " open, modem ready" + signal, perf);
}

}  // namespace merel::cli
