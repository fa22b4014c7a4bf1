// The two registry scripts that the executable carries as REGISTRY resources 101 and 102,
// compiled in as text so that code running without those resources (the tests) sees the same.
#pragma once

#include <string_view>

namespace merel::host {

inline constexpr int kApplicationScriptId = 101;
inline constexpr int kClassScriptId = 102;

std::u16string_view ApplicationRegistryScript();
std::u16string_view ClassRegistryScript();

}  // namespace merel::host
