// What the text-mode and PDU-mode submissions do alike.
#pragma once

#include <initializer_list>
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

// Writes the commands in order, each in a write of its own; the first failure ends the
// submission with its result. commands[opening] is the AT+CMGS command and the one after it
// the body: a failure of either may leave the message open on the modem (a write that failed
// may still have been taken in part), so the message is cancelled.
inline HRESULT WriteInOrder(const ModemPort& modem, std::initializer_list<std::string> commands,
                            std::size_t opening) {
    std::size_t index = 0;
    for (const std::string& command : commands) {
        const HRESULT hr = modem.write(command);
        if (Failed(hr)) {
            if (index == opening || index == opening + 1) modem.cancelMessage();
            return hr;
        }
        ++index;
    }
    return kS_OK;
}

}  // namespace merel
