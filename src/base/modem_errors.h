// What the numbered errors of a modem mean, in the words a person reads: the one table that
// both the modem's answer reader and the HRESULT catalogue use.
#pragma once

#include <string>

#include "base/hresult.h"

namespace merel {

// "+CMS ERROR" answers concern messages, "+CME ERROR" answers the phone, the SIM or the network.
enum class ModemErrorFamily { kCms, kCme };

// A few words on what the number means; nullptr for a number without a common meaning.
const char* ModemErrorMeaning(ModemErrorFamily family, int number);

// "+CMS ERROR: 330 (SMSC address unknown)", or "+CMS ERROR: 999" for a number without a meaning.
std::string ModemErrorText(ModemErrorFamily family, int number);

// The code of a numbered refusal: the family's base plus the number, or kModemError for a
// number out of the family's range.
HRESULT ModemErrorResult(ModemErrorFamily family, int number);

}  // namespace merel
