#include "interface/hresult_text.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

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
};

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
    if (IsWin32Error(hr)) {
        return "system error " + std::to_string(static_cast<std::uint32_t>(hr) & 0xFFFFu);
    }
    return "failure";
}

std::string BareFailureText(HRESULT hr) {
    return FormatHResult(hr) + ": " + DescribeHResult(hr);
}

}  // namespace merel::wire
