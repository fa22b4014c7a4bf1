#include <string>

#include "base/narrow.h"
#include "sms/submission_steps.h"
#include "sms/submission.h"

namespace merel {

namespace {

// The commands are designed around 512-byte staging buffers (511 characters and a NUL) for
// the number and the text; longer input is refused rather than cut.
constexpr std::size_t kMaxTextModeField = 511;

constexpr char kCtrlZ = 0x1A, kEsc = 0x1B;

// A quote would close AT+CMGS="..." early and a control byte (LF and CR among them) would end
// its line, so the rest of the number would reach the modem as a command of its own.
bool LeavesQuotedNumber(std::string_view number) {
    for (char c : number) {
        if (c == '"' || static_cast<unsigned char>(c) < 0x20) return true;
    }
    return false;
}

// Ctrl-Z sends the message and ESC abandons it, so what followed either would be read as
// commands. CR and LF only break lines within the message.
bool EndsMessageEarly(std::string_view text) {
    for (char c : text) {
        if (c == kCtrlZ || c == kEsc) return true;
    }
    return false;
}

}  // namespace

HRESULT SubmitTextMessage(const CommandWriter& write, std::u16string_view phoneNr,
                          std::u16string_view message) {
    const std::u16string number = NumberWithoutSpaces(phoneNr);
    const std::u16string_view text = UpToNul(message);
    if (number.size() > kMaxTextModeField || text.size() > kMaxTextModeField) {
        return kE_INVALIDARG;
    }

    // The checks look at the bytes as narrowed, since letters such as U+011A and U+041A lose
    // their high byte on the way and become Ctrl-Z. A zero byte cannot travel inside a
    // command: in the number it is refused like the other control bytes, in the text such a
    // unit is sent as '?' instead of ending the text there.
    const std::string sentNumber = NarrowLow8(number, '\0');
    const std::string sentText = NarrowLow8(text, '?');
    if (LeavesQuotedNumber(sentNumber) || EndsMessageEarly(sentText)) return kE_INVALIDARG;

    return WriteInOrder(write, {
                                   "AT+CSCS=\"PCCP437\"\n\r",
                                   "AT+CMGF=1\n\r",
                                   "AT+CMGS=\"" + sentNumber + "\"\n\r",
                                   sentText + kCtrlZ + "\n\r",
                                   "AT$RESET",
                               });
}

}  // namespace merel
