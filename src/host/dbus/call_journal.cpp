#include "host/dbus/call_journal.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <systemd/sd-journal.h>

namespace merel::dbus {

namespace {

// Now as ISO 8601 in UTC with milliseconds.
std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

// The journal's socket. The library drops a message silently when nothing listens there, so
// whether it does is asked first.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

bool JournalListens() {
    struct stat info {};
    return stat(kJournalSocket, &info) == 0 && S_ISSOCK(info.st_mode);
}

int SendToJournal(const host::CallRecord& record) {
    std::vector<std::string> items;
    items.push_back("MESSAGE=" + host::RecordMessage(record));
    items.push_back("PRIORITY=" + std::to_string(host::Priority(record)));
    items.push_back(std::string("SYSLOG_IDENTIFIER=") + wire::kRecordSource);
    for (const auto& [key, value] : host::RecordFields(record)) items.push_back(key + "=" + value);
    std::vector<iovec> vector;
    for (std::string& item : items) vector.push_back({item.data(), item.size()});
    return sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
}

}  // namespace

void WriteCallRecord(const host::CallRecord& record) noexcept {
    try {
        if (JournalListens() && SendToJournal(record) >= 0) return;
        // One write for the whole line, so that lines of other threads never cut into it.
        const std::string line = host::FallbackLine(record, UtcNow()) + "\n";
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    } catch (...) {
        // No memory for the record: the call it records has its own outcome.
    }
}

}  // namespace merel::dbus
