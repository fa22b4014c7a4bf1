// The number as the submissions use it: taken up to its first NUL, spaces removed.
#pragma once

#include <string>
#include <string_view>

#include "base/narrow.h"

namespace merel {

inline std::u16string NumberWithoutSpaces(std::u16string_view phoneNr) {
    std::u16string out;
    for (char16_t c : UpToNul(phoneNr)) {
        if (c != u' ') out.push_back(c);
    }
    return out;
}

}  // namespace merel
