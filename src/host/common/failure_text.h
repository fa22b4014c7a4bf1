// The text a client gets with a failed call, the same on every host: the HRESULT first, then
// what failed as the failing layer said it ("0x80070002: cannot open port /dev/ttyUSB0: no such
// device").
#pragma once

#include <string>
#include <string_view>

#include "base/failure.h"
#include "base/hresult.h"

namespace merel::host {

// The text for `method` (as the interface names it) having failed with `hr`; `failure` is what
// the manager recorded for the call. A failure with nothing recorded names the method.
std::string FailureText(std::string_view method, HRESULT hr, const Failure& failure);

}  // namespace merel::host
