#include "host/win32/event_log_entry.h"

#include "base/narrow.h"

namespace merel::host {
namespace {

std::u16string Insert(std::string_view utf8) {
    std::u16string text = Utf8ToUtf16(utf8);
    if (text.size() <= kMaxInsertLength) return text;
    std::size_t length = kMaxInsertLength;
    // A high surrogate at the cut would be left without its partner.
    if (text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) --length;
    text.resize(length);
    return text;
}

}  // namespace

EventLogEntry EventLogEntryOf(const CallRecord& record) {
    EventLogEntry entry;
    switch (Priority(record)) {
        case 3:
            entry.type = EventType::kError;
            entry.eventId = kEventCallFailed;
            break;
        case 4:
            entry.type = EventType::kWarning;
            entry.eventId = kEventSentUnconfirmed;
            break;
        default:
            entry.type = EventType::kInformation;
            entry.eventId = kEventCallSucceeded;
            break;
    }
    entry.message = Insert(RecordMessage(record));
    std::string details;
    for (const auto& [key, value] : RecordFields(record)) {
        if (!details.empty()) details.append("\r\n");
        details.append(key).append("=").append(value);
    }
    entry.details = Insert(details);
    return entry;
}

}  // namespace merel::host
