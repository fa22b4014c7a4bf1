// One SMS as a conversation with the modem: each line of the table is written in a write of its
// own, and what the modem answers in the pause after it decides what happens next. A modem that
// says nothing at all gets every line, in order, with the fixed pauses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "base/hresult.h"
#include "sms/submission.h"

namespace merel {

// The longest an answering modem gets, from the end of the message, to give its verdict on the
// SMS: networks usually answer within seconds, some take tens of seconds.
inline constexpr std::uint32_t kVerdictWaitMs = 60000;

// What a line of the conversation is for, which says what its answer means.
enum class Role {
    kSetting,       // a setting the modem may refuse (it keeps its own then)
    kCharacterSet,  // the character set of a text: refused, the text may arrive garbled
    kOpening,       // AT+CMGS: the modem answers with the prompt, or refuses the SMS
    kBody,          // the message and its Ctrl-Z: the modem answers with its verdict
    kReset,         // AT$RESET, which has no line end
};

struct Exchange {
    std::string bytes;
    Role role;
};

// The warning of a modem that refuses PCCP437.
inline constexpr std::string_view kNoPccp437Warning =
    "the modem does not take character set PCCP437: the text may arrive garbled; use PDU mode";

// Runs the table. `number` is the recipient as the caller gave it, for the messages. A failed
// write ends the conversation with its result (cancelling a message that AT+CMGS opened), and so
// does a refusal of AT+CMGS; a refusal of the message is returned once AT$RESET is written.
HRESULT Converse(const ModemPort& modem, const std::vector<Exchange>& table,
                 const std::string& number, Failure& failure, SendOutcome* outcome);

}  // namespace merel
