#include "interface/hresult_text.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "base/modem_errors.h"

namespace merel::wire {

namespace {

struct Known {
    HRESULT hr;
    const char* text;
};
constexpr Known kKnown[] = {
    {kS_OK, "success"},
    {kE_FAIL, "unspecified failure"},
    {kE_POINTER, "invalid pointer"},
    {kE_NOINTERFACE, "interface not supported"},
    {kCO_E_SERVER_STOPPING, "the server is stopping; call again"},
    {kE_INVALIDARG, "invalid argument"},
    {kE_HANDLE, "invalid handle (no port is open)"},
    {kE_OUTOFMEMORY, "out of memory"},
    {hresult::kFileNotFound, "file not found"},
    {hresult::kPathNotFound, "path not found"},
    {hresult::kAccessDenied, "access denied"},
    {hresult::kNotEnoughMemory, "not enough memory"},
    {hresult::kWriteFault, "write fault"},
    {hresult::kSharingViolation, "in use by another process"},
    {hresult::kNotSupported, "not supported"},
    {hresult::kDiskFull, "disk full"},
    {hresult::kFileTooLarge, "file too large"},
    {hresult::kIoDevice, "I/O device error"},
    {hresult::kBadDevice, "not a serial device"},
    {hresult::kAlreadyInitialized, "already initialized"},
    {hresult::kTimeout, "timed out"},
    {kModemError, "the modem refused the command"},
};

// A numbered refusal of the modem: the family its code falls in, and the number.
bool ModemRefusal(HRESULT hr, ModemErrorFamily& family, int& number) {
    const std::uint32_t code = static_cast<std::uint32_t>(hr);
    const std::uint32_t range = code & ~static_cast<std::uint32_t>(kModemErrorNumberLimit - 1);
    if (range == static_cast<std::uint32_t>(kModemCmsErrorBase)) {
        family = ModemErrorFamily::kCms;
    } else if (range == static_cast<std::uint32_t>(kModemCmeErrorBase)) {
        family = ModemErrorFamily::kCme;
    } else {
        return false;
    }
    number = static_cast<int>(code - range);
    return true;
}

}  // namespace

std::string FormatHResult(HRESULT hr) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string DescribeHResult(HRESULT hr) {
    for (const Known& known : kKnown) {
        if (known.hr == hr) return known.text;
    }
    ModemErrorFamily family;
    int number;
    if (ModemRefusal(hr, family, number)) {
        std::string text = "the modem refused the command: ";
        return text.append(ModemErrorText(family, number));
    }
    if (IsWin32Error(hr)) {
        return "system error " + std::to_string(static_cast<std::uint32_t>(hr) & 0xFFFFu);
    }
    return "failure";
}

std::string BareFailureText(HRESULT hr) {
    return FormatHResult(hr) + ": " + DescribeHResult(hr);
}

}  // namespace merel::wire
