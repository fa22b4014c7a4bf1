// Failures travel as D-Bus errors from which a client gets the exact HRESULT back: the name
// carries the code (MerelSMSManager.Error.HRESULT_80070002) and the message starts with it in
// hexadecimal, followed by what failed ("0x80070002: cannot open port /dev/ttyUSB0: no such
// device").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/hresult.h"

namespace merel::wire {

std::string HResultErrorName(HRESULT hr);

// The client side: the HRESULT carried by one of our errors, or nothing for any other error.
std::optional<HRESULT> HResultFromBusError(std::string_view name, std::string_view message);

}  // namespace merel::wire
