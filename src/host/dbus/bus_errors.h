// Failures travel as D-Bus errors from which a client gets the exact HRESULT back: the name
// carries the code (MerelSMSManager.Error.HRESULT_80070002) and the message starts with it in
// hexadecimal ("0x80070002: file not found").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <systemd/sd-bus.h>

#include "base/hresult.h"

namespace merel::dbus {

// "0x80070002": eight upper-case digits.
std::string FormatHResult(HRESULT hr);
// A few words on what the code means; a generic text for codes this system never produces.
std::string DescribeHResult(HRESULT hr);

std::string HResultErrorName(HRESULT hr);
std::string HResultErrorMessage(HRESULT hr);

// Sets the error for a failed method and returns the negative value that a method handler
// returns with it.
int SetHResultError(sd_bus_error* error, HRESULT hr);

// Answers a call with the error for `hr`. Returns 0 or a negative errno.
int ReplyHResultError(sd_bus_message* call, HRESULT hr);

// The client side: the HRESULT carried by one of our errors, or nothing for any other error.
std::optional<HRESULT> HResultFromBusError(std::string_view name, std::string_view message);

}  // namespace merel::dbus
