#include "base/failure.h"

#include <cstdio>

#include "base/narrow.h"

namespace merel {

std::string Quoted(std::u16string_view text, std::size_t shown) {
    std::u16string visible;
    for (char16_t c : text.substr(0, shown)) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
            visible += WidenLatin1(escaped);
        } else {
            visible += c;
        }
    }
    std::string quoted = "\"";
    quoted += Utf16ToUtf8(visible);
    quoted += text.size() > shown ? "...\"" : "\"";
    return quoted;
}

}  // namespace merel
