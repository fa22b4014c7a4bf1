#include <string>

#include "base/narrow.h"
#include "sms/submission_steps.h"
#include "sms/submission.h"
#include "sms/rules.h"

namespace merel {

namespace {

// A quote would close AT+CMGS="..." early and a control byte (LF and CR among them) would end
// its line, so the rest of the number would reach the modem as a command of its own.
std::size_t LeavesQuotedNumber(std::string_view number) {
    for (std::size_t i = 0; i < number.size(); ++i) {
        if (number[i] == '"' || static_cast<unsigned char>(number[i]) < 0x20) return i;
    }
    return std::string_view::npos;
}

std::size_t EndsMessageEarly(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == kCtrlZ || text[i] == kEsc) return i;
    }
    return std::string_view::npos;
}

std::string Characters(std::size_t count) {
    return std::to_string(count) + " characters; text mode takes at most " +
           std::to_string(kMaxTextModeField);
}

}  // namespace

HRESULT SubmitTextMessage(const CommandWriter& write, std::u16string_view phoneNr,
                          std::u16string_view message, Failure& failure) {
    const std::u16string number = NumberWithoutSpaces(phoneNr);
    const std::u16string_view text = UpToNul(message);
    const std::string shownNumber = "number " + Quoted(phoneNr);
    if (number.size() > kMaxTextModeField) {
        return Refuse(failure, shownNumber, "it has " + Characters(number.size()));
    }
    if (text.size() > kMaxTextModeField) {
        return Refuse(failure, "text", "it has " + Characters(text.size()));
    }

    // The checks look at the bytes as narrowed, since letters such as U+011A and U+041A lose
    // their high byte on the way and become Ctrl-Z. A zero byte cannot travel inside a
    // command: in the number it is refused like the other control bytes, in the text such a
    // unit is sent as '?' instead of ending the text there.
    const std::string sentNumber = NarrowLow8(number, '\0');
    const std::string sentText = NarrowLow8(text, '?');
    if (const auto at = LeavesQuotedNumber(sentNumber); at != std::string_view::npos) {
        return Refuse(failure, shownNumber,
                      sentNumber[at] == '"' ? std::string("it holds a quote")
                                            : "it holds the control character " +
                                                  Quoted(WidenLatin1(sentNumber.substr(at, 1))),
                      TextModeNumberRule());
    }
    if (const auto at = EndsMessageEarly(sentText); at != std::string_view::npos) {
        return Refuse(failure, "text",
                      "character " + std::to_string(at + 1) + " would reach the modem as " +
                          (sentText[at] == kCtrlZ ? "Ctrl-Z, which sends the message there"
                                                  : "ESC, which abandons the message"),
                      TextModeTextRule());
    }

    return WriteInOrder(write, {
                                   "AT+CSCS=\"PCCP437\"\n\r",
                                   "AT+CMGF=1\n\r",
                                   "AT+CMGS=\"" + sentNumber + "\"\n\r",
                                   sentText + kCtrlZ + "\n\r",
                                   "AT$RESET",
                               });
}

}  // namespace merel
