// The AT command sequences of one SMS, in text mode and in PDU mode. Each command goes out
// through the writer; the first failing write ends the submission with its result.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "base/hresult.h"
#include "modem/answer_parser.h"
#include "modem/modem_line.h"

namespace merel {

// How many commands a send writes, each followed by the port's pause.
inline constexpr int kTextModeCommands = 5;
inline constexpr int kPduModeCommands = 6;

using CommandWriter = std::function<HRESULT(std::string_view command)>;

// The modem as a submission writes to it: each command in a write of its own, followed by the
// fixed pause, and the cancel of a message that AT+CMGS opened and that its body did not finish.
// Where the port reads the modem, `answers` gives what it answered since the last write
// (during the pause), `awaitFinal` listens up to the given time more until a final result
// arrives, and `line` is what is known of the modem's line across calls. A port that does not
// read leaves them empty: the modem is then taken as silent.
struct ModemPort {
    CommandWriter write;
    std::function<void()> cancelMessage;
    std::function<std::vector<modem::AnswerEvent>()> answers = {};
    std::function<std::vector<modem::AnswerEvent>(std::uint32_t milliseconds)> awaitFinal = {};
    modem::ModemLine* line = nullptr;
};

// What a send learnt from the modem.
struct SendOutcome {
    // The message reference the modem gave the SMS, or -1 when the modem said nothing at all.
    std::int32_t reference = -1;
    // Whether the modem said anything (a final result or the prompt) during the send.
    bool answering = false;
    std::vector<std::string> warnings;
};

// Input that does not fit is refused with E_INVALIDARG before anything is written, and
// `failure` says which argument and what is allowed. A failed write has said why itself; when
// it stopped the send between AT+CMGS and the whole body, the message is cancelled. What the
// modem answered goes to `outcome`, where one is given.
HRESULT SubmitTextMessage(const ModemPort& modem, std::u16string_view phoneNr,
                          std::u16string_view message, Failure& failure,
                          SendOutcome* outcome = nullptr);
HRESULT SubmitPduMessage(const ModemPort& modem, std::u16string_view phoneNr,
                         std::u16string_view message, Failure& failure,
                         SendOutcome* outcome = nullptr);

}  // namespace merel
