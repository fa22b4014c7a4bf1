#include "host/dbus/command_line.h"

#include <string_view>

#include "base/narrow.h"

namespace merel::dbus {

namespace {

constexpr std::string_view kProgram = "MerelSMSManager";

constexpr std::string_view kUsage =
    "Usage: MerelSMSManager [-RegServer | -UnregServer | --help | --version]\n"
    "  -RegServer    install the D-Bus activation file and the interface file, then exit\n"
    "  -UnregServer  remove them, then exit\n"
    "  --help        show this help\n"
    "  --version     show the version\n"
    "Without arguments it serves the SMS manager on the session bus; the bus starts it so for\n"
    "the first call. A switch may also start with '/'.\n";

constexpr std::string_view kSwitches[] = {"RegServer", "UnregServer"};

bool SameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The registration switch that `word` names, in its usual spelling, or an empty view.
std::string_view SwitchNamed(std::string_view word) {
    for (std::string_view name : kSwitches) {
        if (SameWord(word, name)) return name;
    }
    return {};
}

ArgumentCheck Refuse(std::string_view argument, std::string_view after) {
    return {ArgumentCheck::Verdict::kRefused, std::string(kProgram) + ": unknown argument '" +
                                                  std::string(argument) + "'" + std::string(after)};
}

}  // namespace

std::u16string CommandLineOf(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) line += ' ';
        line += argv[i];
    }
    return Utf8ToUtf16(line);
}

ArgumentCheck CheckArguments(int argc, char** argv) {
    using enum ArgumentCheck::Verdict;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?") {
            return {kHelp, std::string(kUsage)};
        }
        if (arg == "--version") {
            return {kVersion, std::string(kProgram) + " " + MEREL_VERSION + "\n"};
        }
        const bool isSwitch = !arg.empty() && (arg[0] == '-' || arg[0] == '/');
        if (isSwitch && !SwitchNamed(arg.substr(1)).empty()) continue;
        if (!isSwitch) {
            if (const std::string_view meant = SwitchNamed(arg); !meant.empty()) {
                // Without its dash the word would only start the service.
                return Refuse(arg, " (did you mean -" + std::string(meant) + "?)\n");
            }
        }
        return Refuse(arg, "\n" + std::string(kUsage));
    }
    return {};
}

}  // namespace merel::dbus
