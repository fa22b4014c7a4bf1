// What the Windows Event Log holds of a call record: the event's type and identifier, and the
// two strings that the message table (event_messages.mc) puts into its text. Portable, so that
// the mapping is tested everywhere; event_log_win32.cpp hands it to ReportEventW.
#pragma once

#include <cstdint>
#include <string>

#include "host/common/call_record.h"

namespace merel::host {

// The event types of ReportEventW, with the values winnt.h gives them.
enum class EventType : std::uint16_t {
    kError = 0x0001,
    kWarning = 0x0002,
    kInformation = 0x0004,
};

// The event identifiers of the message table, one for each severity of a record.
inline constexpr std::uint32_t kEventCallSucceeded = 1;
inline constexpr std::uint32_t kEventSentUnconfirmed = 2;
inline constexpr std::uint32_t kEventCallFailed = 3;

// The most characters ReportEventW takes in one insert string.
inline constexpr std::size_t kMaxInsertLength = 31839;

struct EventLogEntry {
    EventType type = EventType::kInformation;
    std::uint32_t eventId = kEventCallSucceeded;
    // %1: the readable message.
    std::u16string message;
    // %2: the structured fields, one "KEY=VALUE" a line, lines ended by CR LF but the last.
    std::u16string details;
};

// The entry for `record`: the type and identifier from its priority, the strings from its
// message and fields, each cut to kMaxInsertLength (never inside a surrogate pair).
EventLogEntry EventLogEntryOf(const CallRecord& record);

}  // namespace merel::host
