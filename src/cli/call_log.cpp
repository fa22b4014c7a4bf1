#include "cli/call_log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "cli/json.h"
#include "interface/record_line.h"

namespace merel::cli {

namespace {

// Seconds since 1970 of a broken-down UTC time, without the process's time zone.
std::int64_t UtcSeconds(int year, int month, int day, int hour, int minute, int second) {
    // Days from civil (Howard Hinnant's algorithm).
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int yoe = year - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

// "2026-12-08T09:00:00.123Z" as microseconds; nothing for another form.
std::optional<std::int64_t> ParseUtc(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    char z = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi, &s, &ms,
                    &z) != 8 ||
        z != 'Z') {
        return std::nullopt;
    }
    return UtcSeconds(y, mo, d, h, mi, s) * 1000000 + ms * 1000;
}

std::string Format(std::int64_t microseconds, bool utc) {
    const std::time_t seconds = static_cast<std::time_t>(microseconds / 1000000);
    std::tm tm{};
#if defined(_WIN32)
    utc ? gmtime_s(&tm, &seconds) : localtime_s(&tm, &seconds);
#else
    utc ? gmtime_r(&seconds, &tm) : localtime_r(&seconds, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

}  // namespace

std::string LoggedCall::Field(std::string_view key) const {
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
}

bool LoggedCall::Failed() const {
    // "0x8…" and above: the severity bit of the HRESULT.
    const std::string hr = Field("MEREL_HRESULT");
    return hr.size() == 10 && hr[2] >= '8';
}

bool LoggedCall::IsSend() const {
    return fields.count("MEREL_NUMBER") != 0;
}

std::optional<LoggedCall> FromRecordLine(std::string_view line) {
    const auto fields = wire::ParseRecordLine(line);
    if (!fields) return std::nullopt;
    LoggedCall call;
    for (const auto& [key, value] : *fields) call.fields[key] = value;
    const auto time = ParseUtc(call.Field("MEREL_TIME"));
    if (!time) return std::nullopt;
    call.microseconds = *time;
    return call;
}

std::optional<std::int64_t> ParseLocalTime(std::string_view text) {
    std::tm tm{};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char rest = 0;
    const std::string copy(text);
    const int n =
        std::sscanf(copy.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &rest);
    if (n != 3 && n != 5 && n != 6) return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&tm);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<std::int64_t>(seconds) * 1000000;
}

std::string LogLine(const LoggedCall& call) {
    std::string line = Format(call.microseconds, false) + "  ";
    line += call.IsSend() ? call.Field("MEREL_NUMBER") : call.Field("MEREL_METHOD");
    line += "  ";
    const std::string error = call.Field("MEREL_ERROR");
    if (!error.empty()) {
        line += error;
    } else if (call.Failed()) {
        line.append("failed with ").append(call.Field("MEREL_HRESULT"));
    } else if (call.Field("MEREL_CONFIRMED") == "1") {
        line += "confirmed by the modem, reference " + call.Field("MEREL_REFERENCE");
    } else if (call.IsSend()) {
        line += "sent, not confirmed by the modem";
    } else {
        line += "succeeded";
    }
    const std::string milliseconds = call.Field("MEREL_DURATION_MS");
    line.append(" (")
        .append(milliseconds.empty()
                    ? std::string("?")
                    : wire::RecordSeconds(std::strtoll(milliseconds.c_str(), nullptr, 10)))
        .append(")");
    return line;
}

std::string LogJson(const LoggedCall& call) {
    JsonObject json;
    const auto text = [&](const char* key, const char* field) {
        const std::string value = call.Field(field);
        if (value.empty()) {
            json.AddNull(key);
        } else {
            json.Add(key, value);
        }
    };
    const auto number = [&](const char* key, const char* field) {
        const std::string value = call.Field(field);
        if (value.empty()) {
            json.AddNull(key);
        } else {
            json.Add(key, static_cast<long long>(std::strtoll(value.c_str(), nullptr, 10)));
        }
    };
    json.Add("time", Format(call.microseconds, true));
    text("method", "MEREL_METHOD");
    text("number", "MEREL_NUMBER");
    text("mode", "MEREL_MODE");
    json.Add("ok", !call.Failed());
    text("hresult", "MEREL_HRESULT");
    text("error", "MEREL_ERROR");
    const std::string confirmed = call.Field("MEREL_CONFIRMED");
    if (confirmed.empty()) {
        json.AddNull("confirmed");
    } else {
        json.Add("confirmed", confirmed == "1");
    }
    number("reference", "MEREL_REFERENCE");
    number("duration_ms", "MEREL_DURATION_MS");
    text("port", "MEREL_PORT");
    text("caller", "MEREL_CALLER");
    number("uid", "MEREL_CALLER_UID");
    number("pid", "MEREL_CALLER_PID");
    return json.Text();
}

}  // namespace merel::cli
