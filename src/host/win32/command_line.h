// What the server's command line asks for.
#pragma once

#include <string_view>

namespace merel::host {

enum class ServerCommand { kRun, kRegister, kUnregister };

// Scans the whole command line, program path included, for "-" or "/" followed by
// "UnregServer" or "RegServer" (any case) as a whole word. The first match decides; anything
// else, such as the switch that COM adds when it launches the server, means run.
ServerCommand ScanCommandLine(std::u16string_view commandLine);

}  // namespace merel::host
