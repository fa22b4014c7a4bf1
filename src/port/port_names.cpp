#include "port/port_names.h"

#include <string_view>

namespace merel {

namespace {

constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";

bool IsAsciiDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

char16_t AsciiUpper(char16_t c) {
    return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c;
}

// COM followed by a decimal number of at least 10; leading zeros do not make a port number
// larger, so COM010 counts as 10 while COM09 stays 9.
bool IsHighComPort(std::u16string_view name) {
    if (name.size() < 5) return false;
    if (AsciiUpper(name[0]) != u'C' || AsciiUpper(name[1]) != u'O' || AsciiUpper(name[2]) != u'M') {
        return false;
    }
    std::u16string_view digits = name.substr(3);
    for (char16_t c : digits) {
        if (!IsAsciiDigit(c)) return false;
    }
    const auto firstNonZero = digits.find_first_not_of(u'0');
    return firstNonZero != std::u16string_view::npos && digits.size() - firstNonZero >= 2;
}

}  // namespace

std::u16string PortNameForOpen(const std::u16string& name) {
    if (IsHighComPort(name)) return std::u16string(kDevicePrefix) + name;
    return name;
}

std::u16string PortNameForDefaultConfig(const std::u16string& name) {
    if (std::u16string_view(name).starts_with(kDevicePrefix)) {
        return name.substr(kDevicePrefix.size());
    }
    return name;
}

}  // namespace merel
