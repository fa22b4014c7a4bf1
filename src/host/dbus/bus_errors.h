// Failures as D-Bus error replies; the names and the code in the message are the wire's
// (interface/error_names.h).
#pragma once

#include <string>

#include <systemd/sd-bus.h>

#include "base/failure.h"
#include "base/hresult.h"

namespace merel::dbus {

// Sets the error for a failed method and returns the negative value that a method handler
// returns with it. Without a message the code's bare text goes out.
int SetHResultError(sd_bus_error* error, HRESULT hr);
int SetHResultError(sd_bus_error* error, HRESULT hr, const std::string& message);

// Answers a call with the error for `hr`. Returns 0 or a negative errno.
int ReplyHResultError(sd_bus_message* call, HRESULT hr);
// The same with a message that says what failed.
int ReplyHResultError(sd_bus_message* call, HRESULT hr, const std::string& message);
// The same with what failed, worded as every failed method's answer is.
int ReplyFailure(sd_bus_message* call, const Failure& failure);

}  // namespace merel::dbus
