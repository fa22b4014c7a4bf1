// The AT command sequences of one SMS, in text mode and in PDU mode. Each command goes out
// through the writer; the first failing write ends the submission with its result.
#pragma once

#include <functional>
#include <string_view>

#include "base/hresult.h"

namespace merel {

using CommandWriter = std::function<HRESULT(std::string_view command)>;

// Input that does not fit is refused with E_INVALIDARG before anything is written.
HRESULT SubmitTextMessage(const CommandWriter& write, std::u16string_view phoneNr,
                          std::u16string_view message);
HRESULT SubmitPduMessage(const CommandWriter& write, std::u16string_view phoneNr,
                         std::u16string_view message);

}  // namespace merel
