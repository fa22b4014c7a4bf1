// `merel-sms log`: the service's record of its calls, read back from the journal or from the
// lines it wrote to standard error where there was none, one line per call for a person.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace merel::cli {

struct LoggedCall {
    std::int64_t microseconds = 0;  // since 1970, UTC
    std::map<std::string, std::string, std::less<>> fields;

    // The field's value, or empty.
    std::string Field(std::string_view key) const;
    bool IsSend() const;
    // Whether the call failed, by its HRESULT.
    bool Failed() const;
};

// A line of the service's standard error; nothing for a line that is not a record.
std::optional<LoggedCall> FromRecordLine(std::string_view line);

// `--since` for records read from a file: "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or
// "YYYY-MM-DD HH:MM:SS", local time; nothing for another form.
std::optional<std::int64_t> ParseLocalTime(std::string_view text);

// "2026-12-08 09:12:03  +49 *** ****567  confirmed by the modem, reference 17 (6.51 s)", the
// time local; a call that is no send shows its method in the number's place.
std::string LogLine(const LoggedCall& call);

// The call as one JSON object: time (ISO 8601, UTC), method, number, mode, ok, hresult, error,
// confirmed, reference, duration_ms, port, caller, uid, pid (null where the record has none).
std::string LogJson(const LoggedCall& call);

}  // namespace merel::cli
