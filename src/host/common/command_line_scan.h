// The registration switches that both servers take: "-" or "/" followed by "RegServer" or
// "UnregServer", in any case.
#pragma once

#include <optional>
#include <string_view>

namespace merel::host {

enum class ServerCommand { kRun, kRegister, kUnregister };

// The command that one word names without its leading "-" or "/" ("regserver"), if any.
std::optional<ServerCommand> RegistrationSwitch(std::u16string_view word);

// Scans the whole command line, program path included, for "-" or "/" followed by
// "UnregServer" or "RegServer" (any case) as a whole word. The first match decides; anything
// else, such as the switch that COM adds when it launches the server, means run.
ServerCommand ScanCommandLine(std::u16string_view commandLine);

// Whether the command line holds "-" or "/" followed by `word` (any case) as a whole word, as
// the scan above finds its switches.
bool HasSwitch(std::u16string_view commandLine, std::u16string_view word);

}  // namespace merel::host
