// Failures travel as D-Bus errors from which a client gets the exact HRESULT back: the name
// carries the code (MerelSMSManager.Error.HRESULT_80070002) and the message starts with it in
// hexadecimal, followed by what failed ("0x80070002: cannot open port /dev/ttyUSB0: no such
// device").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <systemd/sd-bus.h>

#include "base/hresult.h"
#include "host/common/failure_text.h"

namespace merel::dbus {

using host::DescribeHResult;
using host::FormatHResult;

std::string HResultErrorName(HRESULT hr);
// The message without a call behind it: "0x80070002: file not found".
std::string HResultErrorMessage(HRESULT hr);

// Sets the error for a failed method and returns the negative value that a method handler
// returns with it.
int SetHResultError(sd_bus_error* error, HRESULT hr);
int SetHResultError(sd_bus_error* error, HRESULT hr, const std::string& message);

// Answers a call with the error for `hr`. Returns 0 or a negative errno.
int ReplyHResultError(sd_bus_message* call, HRESULT hr);
// The same with a message that says what failed (host::FailureText).
int ReplyHResultError(sd_bus_message* call, HRESULT hr, const std::string& message);

// The client side: the HRESULT carried by one of our errors, or nothing for any other error.
std::optional<HRESULT> HResultFromBusError(std::string_view name, std::string_view message);

}  // namespace merel::dbus
