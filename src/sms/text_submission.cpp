#include <string>

#include "base/narrow.h"
#include "sms/submission_steps.h"
#include "sms/submission.h"

namespace merel {

namespace {

// The commands are designed around 512-byte staging buffers (511 characters and a NUL) for
// the number and the text; longer input is refused rather than cut.
constexpr std::size_t kMaxTextModeField = 511;

}  // namespace

HRESULT SubmitTextMessage(const CommandWriter& write, std::u16string_view phoneNr,
                          std::u16string_view message) {
    const std::u16string number = NumberWithoutSpaces(phoneNr);
    const std::u16string_view text = UpToNul(message);
    if (number.size() > kMaxTextModeField || text.size() > kMaxTextModeField) {
        return kE_INVALIDARG;
    }

    // A zero byte cannot travel inside a command, so such a unit is sent as '?' instead of
    // ending the number or the text there.
    return WriteInOrder(write, {
                                   "AT+CSCS=\"PCCP437\"\n\r",
                                   "AT+CMGF=1\n\r",
                                   "AT+CMGS=\"" + NarrowLow8(number, '?') + "\"\n\r",
                                   NarrowLow8(text, '?') + "\x1A\n\r",
                                   "AT$RESET",
                               });
}

}  // namespace merel
