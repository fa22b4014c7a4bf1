#include "base/cp437.h"

#include <array>
#include <cstdio>

#include "base/narrow.h"

namespace merel {

namespace {

// Bytes 0x80-0xFF; the lower half is ASCII.
constexpr std::array<char16_t, 128> kUpperHalf{
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

// Reads one character at `i` and advances past it; a lone surrogate stays as it is.
char32_t NextCharacter(std::u16string_view text, std::size_t& i) {
    const char16_t first = text[i++];
    if (first >= 0xD800 && first < 0xDC00 && i < text.size() && text[i] >= 0xDC00 &&
        text[i] < 0xE000) {
        const char16_t second = text[i++];
        return 0x10000 + ((static_cast<char32_t>(first) - 0xD800) << 10) + (second - 0xDC00);
    }
    return first;
}

}  // namespace

char32_t Cp437ToUnicode(unsigned char byte) {
    return byte < 0x80 ? byte : kUpperHalf[byte - 0x80];
}

std::optional<unsigned char> UnicodeToCp437(char32_t character) {
    if (character < 0x80) return static_cast<unsigned char>(character);
    for (std::size_t i = 0; i < kUpperHalf.size(); ++i) {
        if (kUpperHalf[i] == character) return static_cast<unsigned char>(0x80 + i);
    }
    return std::nullopt;
}

Cp437Text ToCp437Units(std::u16string_view text) {
    Cp437Text result;
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t character = NextCharacter(text, i);
        ++count;
        const auto byte = UnicodeToCp437(character);
        if (!byte) {
            result.refused = character;
            result.refusedAt = count;
            break;
        }
        result.units.push_back(static_cast<char16_t>(*byte));
    }
    return result;
}

std::size_t CountCharacters(std::u16string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) NextCharacter(text, i);
    return count;
}

std::string DescribeCharacter(char32_t character) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(character));
    std::string text = code;
    const bool printable = character >= 0x20 && !(character >= 0x7F && character < 0xA0) &&
                           !(character >= 0xD800 && character < 0xE000);
    if (printable) {
        std::u16string units;
        if (character >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((character - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((character - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(character));
        }
        text += " '" + Utf16ToUtf8(units) + "'";
    }
    return text;
}

}  // namespace merel
