#include "interface/error_names.h"

#include <cstdint>

#include "interface/hresult_text.h"
#include "interface/names.h"

namespace merel::wire {

namespace {

constexpr std::string_view kNamePrefix = "HRESULT_";

// Reads exactly eight hexadecimal digits.
std::optional<std::uint32_t> ParseHex8(std::string_view digits) {
    if (digits.size() != 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
        int d = 0;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<std::uint32_t>(d);
    }
    return value;
}

}  // namespace

std::string HResultErrorName(HRESULT hr) {
    // Names may not hold "0x" after a dot as their element's start, hence the word before it.
    return std::string(kErrorPrefix) + std::string(kNamePrefix) + FormatHResult(hr).substr(2);
}

std::optional<HRESULT> HResultFromBusError(std::string_view name, std::string_view message) {
    const std::string expectedPrefix = std::string(kErrorPrefix) + std::string(kNamePrefix);
    if (name.substr(0, expectedPrefix.size()) != expectedPrefix) return std::nullopt;
    const auto fromName = ParseHex8(name.substr(expectedPrefix.size()));
    if (!fromName) return std::nullopt;
    // The message repeats the code; when it is there it must agree with the name.
    if (message.size() >= 10 && message.substr(0, 2) == "0x") {
        const auto fromMessage = ParseHex8(message.substr(2, 8));
        if (fromMessage && *fromMessage != *fromName) return std::nullopt;
    }
    return static_cast<HRESULT>(*fromName);
}

}  // namespace merel::wire
