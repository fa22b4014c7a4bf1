// 8-bit narrowing: each UTF-16 code unit becomes its low 8 bits, with no code-page conversion.
#pragma once

#include <string>
#include <string_view>

namespace merel {

// The text up to its first NUL unit: strings from clients count only that far.
std::u16string_view UpToNul(std::u16string_view text);

// Every unit becomes its low byte; a unit whose low byte is 0 becomes `zeroReplacement`.
std::string NarrowLow8(std::u16string_view text, char zeroReplacement);

// Widening for ASCII and ISO-8859-1 text (bytes 0x00-0xFF become U+0000-U+00FF).
std::u16string WidenLatin1(std::string_view bytes);

// Lossless conversions between UTF-8 and UTF-16 for the hosts and tools. Ill-formed input
// (a lone surrogate, a bad UTF-8 sequence) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace merel
