#include "host/dbus/bus_errors.h"

#include <cerrno>
#include <cstdint>

#include "host/dbus/bus_names.h"

namespace merel::dbus {

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

std::string HResultErrorMessage(HRESULT hr) {
    return host::BareFailureText(hr);
}

int SetHResultError(sd_bus_error* error, HRESULT hr) {
    return SetHResultError(error, hr, HResultErrorMessage(hr));
}

int SetHResultError(sd_bus_error* error, HRESULT hr, const std::string& message) {
    const std::string name = HResultErrorName(hr);
    const int r = sd_bus_error_set(error, name.c_str(), message.c_str());
    // sd_bus_error_set returns a negative errno for a name it knows nothing about; keep the
    // handler's result negative in every case so that the error is what gets sent.
    return r < 0 ? r : -EIO;
}

int ReplyHResultError(sd_bus_message* call, HRESULT hr) {
    return ReplyHResultError(call, hr, HResultErrorMessage(hr));
}

int ReplyHResultError(sd_bus_message* call, HRESULT hr, const std::string& message) {
    sd_bus_error error{};  // the empty error, as SD_BUS_ERROR_NULL spells it in C
    SetHResultError(&error, hr, message);
    const int r = sd_bus_reply_method_error(call, &error);
    sd_bus_error_free(&error);
    return r;
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

}  // namespace merel::dbus
