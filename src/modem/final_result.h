// What a final result means for the caller: the HRESULT the manager returns, and the words it
// puts in its message.
#pragma once

#include <string>

#include "base/hresult.h"
#include "modem/answer_parser.h"

namespace merel::modem {

// S_OK for OK and for anything that is not a final result; +CMS ERROR: n is
// kModemCmsErrorBase + n, +CME ERROR: n is kModemCmeErrorBase + n, and ERROR, numeric 4 or a
// refusal in words only is kModemError.
HRESULT FinalResultCode(const AnswerEvent& event);

// The modem's answer for a message, with its meaning where the number has a common one:
// "+CMS ERROR: 330 (SMSC address unknown)", "+CME ERROR: SIM PIN required", "ERROR",
// "4 (ERROR)". The modem's own words are escaped as EscapeModemBytes does.
std::string DescribeFinalResult(const AnswerEvent& event);

}  // namespace merel::modem
