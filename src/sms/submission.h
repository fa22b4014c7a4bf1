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

// The modem as a submission writes to it: each command in a write of its own, and the cancel
// of a message that AT+CMGS opened and that its body did not finish.
struct ModemPort {
    CommandWriter write;
    std::function<void()> cancelMessage;
};

// Input that does not fit is refused with E_INVALIDARG before anything is written, and
// `failure` says which argument and what is allowed. A failed write has said why itself; when
// it stopped the send between AT+CMGS and the whole body, the message is cancelled.
HRESULT SubmitTextMessage(const ModemPort& modem, std::u16string_view phoneNr,
                          std::u16string_view message, Failure& failure);
HRESULT SubmitPduMessage(const ModemPort& modem, std::u16string_view phoneNr,
                         std::u16string_view message, Failure& failure);

}  // namespace merel
