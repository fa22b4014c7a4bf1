// The record of each call in the Windows Event Log, under the source kRecordSource.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/common/call_record.h"

namespace merel::host {

// The client whose COM call this thread runs.
struct Caller {
    // "DOMAIN\user"; empty when COM or the platform does not tell.
    std::string account;
    // The account's security identifier, which Event Viewer shows as the event's user; empty
    // when unknown.
    std::vector<std::uint8_t> sid;
};

// Asks COM who called, by impersonating the client for a moment. Outside a call, or when the
// client cannot be impersonated, the caller is unknown.
Caller CallingClient();

// Writes `record` to the Application log. The log never costs the client its call: a source
// that cannot be registered or an entry that cannot be written is left at that.
void WriteToEventLog(const CallRecord& record, const Caller& caller) noexcept;

}  // namespace merel::host
