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

// Win32 error numbers that this system produces or tests for.
namespace win32 {
inline constexpr std::int32_t kFileNotFound = 2;
inline constexpr std::int32_t kPathNotFound = 3;
inline constexpr std::int32_t kAccessDenied = 5;
inline constexpr std::int32_t kInvalidHandle = 6;
inline constexpr std::int32_t kNotEnoughMemory = 8;
inline constexpr std::int32_t kWriteFault = 29;
inline constexpr std::int32_t kSharingViolation = 32;
inline constexpr std::int32_t kNotSupported = 50;
inline constexpr std::int32_t kInvalidParameter = 87;
inline constexpr std::int32_t kDiskFull = 112;
inline constexpr std::int32_t kFileTooLarge = 223;
inline constexpr std::int32_t kIoDevice = 1117;
inline constexpr std::int32_t kBadDevice = 1200;
inline constexpr std::int32_t kAlreadyInitialized = 1247;
}  // namespace win32

// Turns a Win32 error into an HRESULT and leaves an HRESULT (or 0) unchanged.
constexpr HRESULT FoldError(std::int32_t e) {
    return e <= 0 ? static_cast<HRESULT>(e)
                  : static_cast<HRESULT>((static_cast<std::uint32_t>(e) & 0xFFFFu) | 0x80070000u);
}

constexpr bool Failed(HRESULT hr) {
    return hr < 0;
}

}  // namespace merel
