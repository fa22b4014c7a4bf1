// How a configured port name reaches the Windows calls. Ports from COM10 up exist only in the
// device namespace, so they are opened as \\.\COM<n>; the default-configuration query wants the
// bare name.
#pragma once

#include <string>

namespace merel {

// The name to open: COM<n> with n >= 10 (any case) gains the \\.\ prefix, others pass unchanged.
std::u16string PortNameForOpen(const std::u16string& name);

// The name for the default-configuration query: without a leading \\.\ prefix.
std::u16string PortNameForDefaultConfig(const std::u16string& name);

}  // namespace merel
