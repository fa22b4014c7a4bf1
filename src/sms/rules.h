// What a submission accepts, named once: the checks, the server's messages and the
// command-line client's hints all use these.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace merel {

// Text mode: the commands are built around 512-byte staging buffers (511 characters and a
// NUL) for the number and the text; longer input is refused rather than cut.
inline constexpr std::size_t kMaxTextModeField = 511;

// One SMS carries 160 characters of the GSM 7-bit alphabet (140 octets). The server leaves the
// length of a text-mode text to the modem, up to its field limit; the command-line client
// refuses a longer text, so that no modem splits or cuts what the user typed.
inline constexpr std::size_t kSmsTextModeCharacters = 160;

// PDU mode: UCS2 user data holds at most 140 octets, 70 UTF-16 units; the rest is cut.
inline constexpr std::size_t kMaxPduUnits = 70;

// The address field holds at most 20 digits; a longer number would need a length that no
// receiver accepts.
inline constexpr std::size_t kMaxAddressDigits = 20;

// What people write between digit groups; PDU mode drops them. Spaces are dropped in both
// modes.
constexpr bool IsNumberSeparator(char16_t c) {
    return c == u' ' || c == u'-' || c == u'.' || c == u'(' || c == u')';
}

// A number is dialled by its digits: one without any (empty, a lone +) reaches no one. Only
// the ASCII digits count, in both modes.
constexpr bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
constexpr bool HasDigit(std::u16string_view number) {
    for (char16_t c : number) {
        if (IsDigit(c)) return true;
    }
    return false;
}

// Text mode writes the number inside AT+CMGS="..." one byte per character: printable ASCII
// (space to ~) alone travels unchanged and keeps the command whole, and a quote would end it.
constexpr bool IsTextModeNumberCharacter(char16_t c) {
    return c >= 0x20 && c <= 0x7E && c != u'"';
}

// Ctrl-Z sends the message and ESC abandons it, so what followed either in a text-mode text
// would be read as commands.
inline constexpr char kCtrlZ = 0x1A, kEsc = 0x1B;

// The rules in words, for messages and hints.
inline std::string PduNumberRule() {
    return "in PDU mode a number holds digits, spaces, the separators - . ( ) and one leading "
           "+, with at most " +
           std::to_string(kMaxAddressDigits) + " digits";
}
inline std::string TextModeNumberRule() {
    return "in text mode a number holds at least one digit and only printable ASCII characters "
           "(space to ~) other than \"";
}
inline std::string TextModeTextRule() {
    return "in text mode a text may not hold Ctrl-Z or ESC";
}

}  // namespace merel
