#include <string>

#include "base/cp437.h"
#include "base/narrow.h"
#include "sms/conversation.h"
#include "sms/submission_steps.h"
#include "sms/submission.h"
#include "sms/rules.h"

namespace merel {

namespace {

// The number goes into AT+CMGS="..." byte for byte: a quote would close it early, a control
// character (LF and CR among them) would end its line, so that the rest reached the modem as
// a command of its own, and a unit beyond ASCII would lose its high byte on the way (U+0661
// '١' would become 'a'). The position of the first such unit, or npos.
std::size_t OutsideTextModeNumber(std::u16string_view number) {
    for (std::size_t i = 0; i < number.size(); ++i) {
        if (!IsTextModeNumberCharacter(number[i])) return i;
    }
    return std::u16string_view::npos;
}

// What is wrong with the unit at `at`, which OutsideTextModeNumber found.
std::string WhyNotInNumber(std::u16string_view number, std::size_t at) {
    const char16_t c = number[at];
    if (c == u'"') return "it holds a quote";
    if (c < 0x20 || c == 0x7F) {
        return "it holds the control character " + Quoted(number.substr(at, 1));
    }
    char32_t character = c;
    if (c >= 0xD800 && c < 0xDC00 && at + 1 < number.size() && number[at + 1] >= 0xDC00 &&
        number[at + 1] < 0xE000) {
        character = 0x10000 + ((c - 0xD800u) << 10) + (number[at + 1] - 0xDC00u);
    }
    return "it holds " + DescribeCharacter(character) + ", which is no printable ASCII character";
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

HRESULT SubmitTextMessage(const ModemPort& modem, std::u16string_view phoneNr,
                          std::u16string_view message, Failure& failure, SendOutcome* outcome) {
    const std::u16string number = NumberWithoutSpaces(phoneNr);
    const std::u16string_view text = UpToNul(message);
    const std::string shownNumber = "number " + Quoted(phoneNr);
    if (number.size() > kMaxTextModeField) {
        return Refuse(failure, shownNumber, "it has " + Characters(number.size()));
    }
    if (text.size() > kMaxTextModeField) {
        return Refuse(failure, "text", "it has " + Characters(text.size()));
    }

    if (const auto at = OutsideTextModeNumber(number); at != std::u16string_view::npos) {
        return Refuse(failure, shownNumber, WhyNotInNumber(number, at), TextModeNumberRule());
    }
    if (!HasDigit(number)) {
        return Refuse(failure, shownNumber, "it has no digit", TextModeNumberRule());
    }

    // The text is checked as narrowed, since letters such as U+011A and U+041A lose their high
    // byte on the way and become Ctrl-Z. A zero byte cannot travel inside a command: such a
    // unit is sent as '?' instead of ending the text there. The number is ASCII by now.
    const std::string sentNumber = NarrowLow8(number, '\0');
    const std::string sentText = NarrowLow8(text, '?');
    if (const auto at = EndsMessageEarly(sentText); at != std::string_view::npos) {
        return Refuse(failure, "text",
                      "character " + std::to_string(at + 1) + " would reach the modem as " +
                          (sentText[at] == kCtrlZ ? "Ctrl-Z, which sends the message there"
                                                  : "ESC, which abandons the message"),
                      TextModeTextRule());
    }

    return Converse(modem,
                    {
                        {"AT+CSCS=\"PCCP437\"\n\r", Role::kCharacterSet},
                        {"AT+CMGF=1\n\r", Role::kSetting},
                        {"AT+CMGS=\"" + sentNumber + "\"\n\r", Role::kOpening},
                        {sentText + kCtrlZ + "\n\r", Role::kBody},
                        {"AT$RESET", Role::kReset},
                    },
                    Utf16ToUtf8(UpToNul(phoneNr)), failure, outcome);
}

}  // namespace merel
