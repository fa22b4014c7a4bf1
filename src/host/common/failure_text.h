// The text a client gets with a failed call, the same on every host: the HRESULT first, then
// what failed, named (the port, the settings file's full path, the argument at fault) and,
// where it helps, what to do about it. "0x80070002: cannot open port /dev/ttyUSB0: no such
// device".
#pragma once

#include <string>
#include <string_view>

#include "base/hresult.h"
#include "manager/sms_mgr.h"

namespace merel::host {

// "0x80070002": eight upper-case digits.
std::string FormatHResult(HRESULT hr);
// A few words on what the code means; a generic text for codes this system never produces.
std::string DescribeHResult(HRESULT hr);
// "0x80070002: file not found": for failures that have no call behind them.
std::string BareFailureText(HRESULT hr);

// The text for `method` (as the interface names it) having failed with `hr`. Reads `manager`
// as the call left it; `number` is the phone number of a send, empty for other methods.
std::string FailureText(std::string_view method, HRESULT hr, const CSMSMgr& manager,
                        std::u16string_view number = {});

}  // namespace merel::host
