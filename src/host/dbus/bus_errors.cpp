#include "host/dbus/bus_errors.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "host/dbus/bus_names.h"

namespace merel::dbus {

namespace {

constexpr std::string_view kNamePrefix = "HRESULT_";

std::uint32_t Bits(HRESULT hr) {
    return static_cast<std::uint32_t>(hr);
}

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

std::string FormatHResult(HRESULT hr) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(Bits(hr)));
    return text;
}

std::string DescribeHResult(HRESULT hr) {
    switch (Bits(hr)) {
        case 0x00000000u:
            return "success";
        case 0x80004005u:
            return "unspecified failure";
        case 0x80004003u:
            return "invalid pointer";
        case 0x80004002u:
            return "interface not supported";
        case 0x80004018u:
            return "the server is stopping; call again";
        case 0x80070057u:
            return "invalid argument";
        case 0x80070006u:
            return "invalid handle (no port is open)";
        case 0x8007000Eu:
            return "out of memory";
        case 0x80070002u:
            return "file not found";
        case 0x80070003u:
            return "path not found";
        case 0x80070005u:
            return "access denied";
        case 0x80070008u:
            return "not enough memory";
        case 0x8007001Du:
            return "write fault";
        case 0x80070020u:
            return "in use by another process";
        case 0x80070032u:
            return "not supported";
        case 0x80070070u:
            return "disk full";
        case 0x8007045Du:
            return "I/O device error";
        case 0x800704B0u:
            return "not a serial device";
        case 0x800704DFu:
            return "already initialized";
        default:
            break;
    }
    if ((Bits(hr) & 0xFFFF0000u) == 0x80070000u) {
        return "system error " + std::to_string(Bits(hr) & 0xFFFFu);
    }
    return "failure";
}

std::string HResultErrorName(HRESULT hr) {
    // Names may not hold "0x" after a dot as their element's start, hence the word before it.
    return std::string(kErrorPrefix) + std::string(kNamePrefix) + FormatHResult(hr).substr(2);
}

std::string HResultErrorMessage(HRESULT hr) {
    return FormatHResult(hr) + ": " + DescribeHResult(hr);
}

int SetHResultError(sd_bus_error* error, HRESULT hr) {
    const std::string name = HResultErrorName(hr);
    const std::string message = HResultErrorMessage(hr);
    const int r = sd_bus_error_set(error, name.c_str(), message.c_str());
    // sd_bus_error_set returns a negative errno for a name it knows nothing about; keep the
    // handler's result negative in every case so that the error is what gets sent.
    return r < 0 ? r : -EIO;
}

int ReplyHResultError(sd_bus_message* call, HRESULT hr) {
    sd_bus_error error{};  // the empty error, as SD_BUS_ERROR_NULL spells it in C
    SetHResultError(&error, hr);
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
