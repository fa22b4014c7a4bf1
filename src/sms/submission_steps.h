// What the text-mode and PDU-mode submissions do alike.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "base/failure.h"
#include "base/narrow.h"
#include "sms/submission.h"

namespace merel {

// The number taken up to its first NUL, with its spaces removed.
inline std::u16string NumberWithoutSpaces(std::u16string_view phoneNr) {
    std::u16string out;
    for (char16_t c : UpToNul(phoneNr)) {
        if (c != u' ') out.push_back(c);
    }
    return out;
}

// Refuses a send's argument: `argument` is what is refused ("number \"+49abc\""), `why` what
// is wrong with it and `rule`, where `why` does not say it, what is allowed.
inline HRESULT Refuse(Failure& failure, std::string argument, const std::string& why,
                      const std::string& rule = {}) {
    failure = {kE_INVALIDARG,
               std::move(argument) + " refused",
               rule.empty() ? why : why + "; " + rule,
               {}};
    return kE_INVALIDARG;
}

}  // namespace merel
