// What `merel-sms check` makes of the modem's answers to the service's queries: the parsed
// facts and a verdict a person can act on. Pure: the answer lines in, words out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/hresult.h"

namespace merel::cli {

// Registration states of +CREG (3GPP TS 27.007).
enum class Registration { kNotSearching, kHome, kSearching, kDenied, kUnknown, kRoaming };

struct ModemCheck {
    bool anyAnswer = false;                     // false: nothing answered any query
    std::string manufacturer, model, revision;  // empty when not answered
    // The SIM's state as +CPIN says it ("READY", "SIM PIN", "SIM PUK" …), or the refusal of the
    // query ("+CME ERROR: 10"); empty when not answered.
    std::string sim;
    bool simReady = false;
    std::optional<int> rssi;  // +CSQ's 0–31; none when not answered or 99 (not known)
    std::optional<Registration> registration;
    std::string operatorName;     // empty when none is selected or not answered
    std::optional<bool> pccp437;  // whether +CSCS=? offers "PCCP437"; none when not answered
    bool ready = false;
    std::string problem, hint;  // the first problem and what to do; empty when ready
};

// `lines` as CheckModem gives them: "<command>\t<answer lines joined by " | ">" or
// "<command>\t(no answer)". `port` names the device in the verdict.
ModemCheck ParseModemCheck(const std::vector<std::string>& lines, const std::string& port);

// The signal as a person reads it: dBm from +CSQ's rssi (-113 + 2 rssi) and bars from 0 to 5.
int SignalDbm(int rssi);
int SignalBars(int rssi);
const char* RegistrationWords(Registration registration);
// The state as one word for scripts: "home", "roaming", "searching", "denied", "not searching",
// "unknown".
const char* RegistrationName(Registration registration);

// The facts, one "name: value" line each, as `check` prints them before its verdict.
std::string ModemCheckText(const ModemCheck& check);

// What to do when the modem refused an SMS with `hr` (0x80041000–0x80043FFF), or when it did not
// confirm it in time; empty for other codes.
std::string ModemRefusalHint(HRESULT hr);
bool IsModemRefusal(HRESULT hr);

// The advice for a SIM that wants its PIN (or PUK), and for a modem without a network.
extern const char* const kPinHint;
extern const char* const kNetworkHint;

}  // namespace merel::cli
