// Result codes shared by every layer. On Windows the typedefs match the platform's own, so
// both declarations may meet in one translation unit; the constants carry our own names
// because the platform defines its names as macros.
#pragma once

#include <cstdint>

#if defined(_WIN32)
typedef long HRESULT;
typedef unsigned long DWORD;
#else
typedef std::int32_t HRESULT;
typedef std::uint32_t DWORD;
#endif

namespace merel {

inline constexpr HRESULT kS_OK = 0;
inline constexpr HRESULT kE_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT kE_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT kE_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT kE_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT kE_HANDLE = static_cast<HRESULT>(0x80070006u);
inline constexpr HRESULT kE_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
// The server is ending and takes no more calls; a new one serves the caller's next try.
inline constexpr HRESULT kCO_E_SERVER_STOPPING = static_cast<HRESULT>(0x80004018u);
// A dispatch call failed with an exception record (EXCEPINFO) that says why.
inline constexpr HRESULT kDISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);

// Failures that happen before the server runs a call, as clients see them.
inline constexpr HRESULT kREGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT kCO_E_SERVER_EXEC_FAILURE = static_cast<HRESULT>(0x80080005u);
inline constexpr HRESULT kRPC_E_DISCONNECTED = static_cast<HRESULT>(0x80010108u);
inline constexpr HRESULT kRPC_E_ACCESS_DENIED = static_cast<HRESULT>(0x8001011Bu);
inline constexpr HRESULT kRPC_E_TIMEOUT = static_cast<HRESULT>(0x8001011Fu);

// A modem refused a command. A numbered answer adds its number to the base of its family
// ("+CMS ERROR: 330" is 0x8004114A); a plain ERROR, or an error the modem gave as words
// only, is the one generic code. Numbers beyond kModemErrorNumberLimit take the generic code.
inline constexpr HRESULT kModemCmsErrorBase = static_cast<HRESULT>(0x80041000u);
inline constexpr HRESULT kModemCmeErrorBase = static_cast<HRESULT>(0x80042000u);
inline constexpr HRESULT kModemError = static_cast<HRESULT>(0x80043000u);
inline constexpr int kModemErrorNumberLimit = 0x1000;

// Win32 error numbers that this system produces or tests for.
namespace win32 {
inline constexpr std::int32_t kFileNotFound = 2;
inline constexpr std::int32_t kPathNotFound = 3;
inline constexpr std::int32_t kAccessDenied = 5;
inline constexpr std::int32_t kInvalidHandle = 6;
inline constexpr std::int32_t kNotEnoughMemory = 8;
inline constexpr std::int32_t kNotReady = 21;
inline constexpr std::int32_t kBadCommand = 22;
inline constexpr std::int32_t kWriteFault = 29;
inline constexpr std::int32_t kSharingViolation = 32;
inline constexpr std::int32_t kNotSupported = 50;
inline constexpr std::int32_t kInvalidParameter = 87;
inline constexpr std::int32_t kDiskFull = 112;
inline constexpr std::int32_t kFileTooLarge = 223;
inline constexpr std::int32_t kIoDevice = 1117;
inline constexpr std::int32_t kDeviceNotConnected = 1167;
inline constexpr std::int32_t kBadDevice = 1200;
inline constexpr std::int32_t kTimeout = 1460;
inline constexpr std::int32_t kAlreadyInitialized = 1247;
inline constexpr std::int32_t kRpcServerUnavailable = 1722;
inline constexpr std::int32_t kRpcCallFailed = 1726;
}  // namespace win32

// Turns a Win32 error into an HRESULT and leaves an HRESULT (or 0) unchanged.
constexpr HRESULT FoldError(std::int32_t e) {
    return e <= 0 ? static_cast<HRESULT>(e)
                  : static_cast<HRESULT>((static_cast<std::uint32_t>(e) & 0xFFFFu) | 0x80070000u);
}

constexpr bool Failed(HRESULT hr) {
    return hr < 0;
}

// The HRESULT of each Win32 error, by the error's name.
namespace hresult {
inline constexpr HRESULT kFileNotFound = FoldError(win32::kFileNotFound);
inline constexpr HRESULT kPathNotFound = FoldError(win32::kPathNotFound);
inline constexpr HRESULT kAccessDenied = FoldError(win32::kAccessDenied);
inline constexpr HRESULT kInvalidHandle = FoldError(win32::kInvalidHandle);
inline constexpr HRESULT kNotEnoughMemory = FoldError(win32::kNotEnoughMemory);
inline constexpr HRESULT kNotReady = FoldError(win32::kNotReady);
inline constexpr HRESULT kBadCommand = FoldError(win32::kBadCommand);
inline constexpr HRESULT kWriteFault = FoldError(win32::kWriteFault);
inline constexpr HRESULT kSharingViolation = FoldError(win32::kSharingViolation);
inline constexpr HRESULT kNotSupported = FoldError(win32::kNotSupported);
inline constexpr HRESULT kDiskFull = FoldError(win32::kDiskFull);
inline constexpr HRESULT kFileTooLarge = FoldError(win32::kFileTooLarge);
inline constexpr HRESULT kIoDevice = FoldError(win32::kIoDevice);
inline constexpr HRESULT kDeviceNotConnected = FoldError(win32::kDeviceNotConnected);
inline constexpr HRESULT kBadDevice = FoldError(win32::kBadDevice);
inline constexpr HRESULT kAlreadyInitialized = FoldError(win32::kAlreadyInitialized);
inline constexpr HRESULT kTimeout = FoldError(win32::kTimeout);
inline constexpr HRESULT kRpcServerUnavailable = FoldError(win32::kRpcServerUnavailable);
inline constexpr HRESULT kRpcCallFailed = FoldError(win32::kRpcCallFailed);
}  // namespace hresult

// Whether the code is a Win32 error folded into an HRESULT.
constexpr bool IsWin32Error(HRESULT hr) {
    return (static_cast<std::uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u;
}

}  // namespace merel
