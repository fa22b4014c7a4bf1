// The platform headers of the COM host, in the one order that works: <windows.h> turns
// SendMessage into SendMessageW, which would rename our interface's method and the manager's
// in every file that sees the macro, so the macro goes before our own headers come in.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#undef SendMessage

#include <string>
#include <string_view>

#include "MerelSMSManager.h"  // generated from MerelSMSManager.idl

namespace merel::host {

// wchar_t and char16_t are both UTF-16 units on Windows.
inline const wchar_t* AsWide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
inline const char16_t* AsUtf16(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}

// The whole BSTR, embedded NULs included; a null BSTR is the empty string.
inline std::u16string_view BstrView(BSTR text) {
    if (text == nullptr) return {};
    return {AsUtf16(text), SysStringLen(text)};
}

// A new BSTR holding `text`, or null when there is no memory for it.
inline BSTR AllocBstr(std::u16string_view text) {
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                             static_cast<UINT>(text.size()));
}

// The full path of this executable, or empty.
std::u16string ModulePath();

}  // namespace merel::host
