#include "host/win32/com_headers.h"

namespace merel::host {

std::u16string ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return std::u16string(AsUtf16(path.c_str()), length);
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace merel::host
