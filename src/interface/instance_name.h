// The name of one service among several on a machine, one per modem: the service serves it
// with --instance NAME, merel-sms reaches it with --modem NAME. The bus name and the settings
// folder follow from it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace merel::wire {

inline constexpr std::size_t kMaxInstanceName = 64;

// The rule, for the messages that refuse a name.
inline constexpr const char* kInstanceNameRule =
    "1 to 64 letters (A-Z, a-z), digits or '_', not starting with a digit";

// A name element of a D-Bus well-known name may not start with a digit, nor hold a '-'; a
// name that is fit for the bus is also fit for a folder and a systemd instance.
bool IsInstanceName(std::string_view name);

// The bus name of the instance: wire::kBusName for the plain service (an empty name),
// "<kBusName>.NAME" otherwise.
std::string InstanceBusName(std::string_view instance);

// The instance that serves `busName`: empty for the plain service; nothing (false) for a
// name that is neither.
bool InstanceOfBusName(std::string_view busName, std::string& instance);

}  // namespace merel::wire
