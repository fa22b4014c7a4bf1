// The AT command sequences of one SMS, in text mode and in PDU mode. Each command goes out
// through the writer; the first failing write ends the submission with its result.
#pragma once

#include <functional>
#include <string_view>

#include "base/failure.h"
#include "base/hresult.h"

namespace merel {

// How many commands a send writes, each followed by the port's pause.
inline constexpr int kTextModeCommands = 5;
inline constexpr int kPduModeCommands = 6;

using CommandWriter = std::function<HRESULT(std::string_view command)>;

// Input that does not fit is refused with E_INVALIDARG before anything is written, and
// `failure` says which argument and what is allowed. A failed write has said why itself.
HRESULT SubmitTextMessage(const CommandWriter& write, std::u16string_view phoneNr,
                          std::u16string_view message, Failure& failure);
HRESULT SubmitPduMessage(const CommandWriter& write, std::u16string_view phoneNr,
                         std::u16string_view message, Failure& failure);

}  // namespace merel
