// The record of a call as the server writes it where there is no journal, and as `merel-sms log`
// reads it back: one line on standard error, "<N>" (the syslog priority), the readable message,
// then the structured fields in brackets, each KEY=VALUE, a value that holds a space, a quote, a
// backslash or a bracket in quotes (with \" and \\):
// <6>Init: succeeded, port /dev/ttyUSB0 (2.00 s) [MEREL_METHOD=Init MEREL_HRESULT=0x00000000 ...]
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace merel::wire {

// The name under which calls are recorded: the journal's SYSLOG_IDENTIFIER, the Windows event
// source.
inline constexpr const char* kRecordSource = "MerelSMSManager";

using RecordFields = std::vector<std::pair<std::string, std::string>>;

// A call's duration as the record shows it to a person: "6.51 s".
std::string RecordSeconds(long long milliseconds);

// The line, without its line end. Line breaks inside the message or a value become spaces: a
// line break would start a record of its own; so does the bracket of a " [MEREL_" inside the
// message, which becomes " (MEREL_".
std::string RecordLine(int priority, std::string_view message, const RecordFields& fields);

// The fields of a record line, PRIORITY and MESSAGE first; nothing for a line that is not one
// (the service's other messages share its standard error).
std::optional<RecordFields> ParseRecordLine(std::string_view line);

}  // namespace merel::wire
