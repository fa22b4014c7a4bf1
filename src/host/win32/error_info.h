// The rich error information of a failed call (IErrorInfo), which script engines show as the
// error's description and .NET as the exception's message.
#pragma once

#include <string_view>

#include "host/win32/com_headers.h"

namespace merel::host {

// Sets the calling thread's error information: `text` (UTF-8) as the description, the class's
// ProgID as the source, `iid` (the interface of the failed method) as the interface.
void SetCallError(std::string_view text, REFIID iid);
// Clears it, so that a successful call leaves nothing from an earlier failure behind.
void ClearCallError();

}  // namespace merel::host
