// Code page 437, the character set that text mode announces to the modem. The server writes
// the low byte of each UTF-16 unit, so the client turns each character into the unit whose low
// byte is its code page 437 byte.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace merel {

// The Unicode character of each of the 256 bytes (0x00-0x7F are ASCII).
char32_t Cp437ToUnicode(unsigned char byte);
std::optional<unsigned char> UnicodeToCp437(char32_t character);

struct Cp437Text {
    std::u16string units;             // one unit per character, U+0000-U+00FF
    std::optional<char32_t> refused;  // the first character without a code page 437 byte
    std::size_t refusedAt = 0;        // its position, counted in characters from 1
};

Cp437Text ToCp437Units(std::u16string_view text);

// The characters of `text`, a surrogate pair counting as one.
std::size_t CountCharacters(std::u16string_view text);

// "U+20AC '€'" (the character itself only when it is printable).
std::string DescribeCharacter(char32_t character);

}  // namespace merel
