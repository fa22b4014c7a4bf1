// The full path of the running executable, and the platform's path separator.
#pragma once

#include <string>

namespace merel {

#if defined(_WIN32)
inline constexpr char16_t kPathSeparator = u'\\';
#else
inline constexpr char16_t kPathSeparator = u'/';
#endif

// Empty when the path cannot be found.
std::u16string ExecutablePath();

}  // namespace merel
