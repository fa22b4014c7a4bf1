#include <windows.h>

#include <string>

#include "manager/executable_path.h"

namespace merel {

std::u16string ExecutablePath() {
    // MAX_PATH units including the terminator; a longer path is cut by the system.
    wchar_t buffer[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

}  // namespace merel
