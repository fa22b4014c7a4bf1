// The record of one call that sends or changes something: what the hosts write to the system's
// log (the journal, the Windows Event Log) after each Init, TestPort, SetSettings, send and modem
// check. It names the number only masked and never holds the text of a message.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hresult.h"
#include "interface/record_line.h"

namespace merel {
class CSMSMgr;
}

namespace merel::host {

using wire::kRecordSource;

// Whether a call of `method` (as the interface names it) is recorded: the calls that send or
// change something. The queries are not.
bool IsRecorded(std::string_view method);

struct CallRecord {
    std::string method;
    HRESULT hr = kS_OK;
    // The text the client got with a failure (with the number masked); empty on success.
    std::string error;
    // The manager's port setting after the call.
    std::string port;
    // Sends only: "text" or "PDU", empty when the send stopped before a mode was chosen.
    std::string mode;
    std::chrono::milliseconds duration{0};
    // Who called, as the host knows it: a bus name or a Windows account; empty when unknown.
    std::string caller;
    std::optional<std::uint32_t> callerUid;
    std::optional<std::uint32_t> callerPid;
    // Sends only: the number, masked.
    std::optional<std::string> number;
    // Sends that succeeded: the modem's message reference, or nothing when it said nothing.
    std::optional<std::int32_t> reference;
};

// The number with every digit but the last three hidden; a leading '+' and the two digits after
// it stay (the country, for most numbers), and so do the separators: "+49 170 1234567" becomes
// "+49 *** ****567".
std::string MaskNumber(std::string_view number);

// Fills what the manager knows after a call of `method` on it: the port, and for sends the mode
// and the reference. `error` is the text the client got, or empty; the number given in full is
// masked in it and in the record.
CallRecord RecordOf(const CSMSMgr& manager, std::string_view method, HRESULT hr,
                    std::string_view error, std::chrono::milliseconds duration,
                    std::optional<std::u16string_view> number);

// The record's severity: 6 (information) for a success, 4 (warning) for a send that went out
// without the modem's confirmation, 3 (error) for a failure. The syslog numbers, which the
// journal takes as they are and the Windows host maps to its event types.
int Priority(const CallRecord& record);

// One readable line: "SendConfirmed to +49 *** ****567 in text mode: confirmed by the modem,
// reference 17 (6.51 s)".
std::string RecordMessage(const CallRecord& record);

// The structured fields, each once, in a fixed order: MEREL_METHOD, MEREL_HRESULT (0x%08X),
// MEREL_ERROR, MEREL_PORT, MEREL_MODE, MEREL_DURATION_MS, MEREL_CALLER, MEREL_CALLER_UID,
// MEREL_CALLER_PID, MEREL_NUMBER, MEREL_CONFIRMED (1/0, sends that succeeded), MEREL_REFERENCE.
// A field without a value is left out.
wire::RecordFields RecordFields(const CallRecord& record);

// The record as a line for standard error, where there is no journal (see record_line.h), with
// `time` (ISO 8601, UTC) as MEREL_TIME, since such a line has no other time stamp.
std::string FallbackLine(const CallRecord& record, std::string_view time);

}  // namespace merel::host
