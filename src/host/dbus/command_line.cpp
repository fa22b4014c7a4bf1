#include "host/dbus/command_line.h"

#include <string_view>
#include <utility>
#include <optional>

#include "base/narrow.h"
#include "host/dbus/activation_files.h"

namespace merel::dbus {

namespace {

constexpr std::string_view kProgram = "MerelSMSManager";

constexpr std::string_view kUsage =
    "Usage: MerelSMSManager [--system] [--settings-dir DIR | --user-settings]\n"
    "       MerelSMSManager -RegServer | -UnregServer | --help | --version\n"
    "  --system            serve on the system bus instead of the session bus\n"
    "  --settings-dir DIR  keep SMSMgr.ini in DIR instead of beside the executable\n"
    "  --user-settings     keep SMSMgr.ini in $XDG_CONFIG_HOME/MerelSMSManager (by default\n"
    "                      ~/.config/MerelSMSManager), made on the first save\n"
    "  -RegServer          install the session bus's activation file and the interface\n"
    "                      file, then exit\n"
    "  -UnregServer        remove them, then exit\n"
    "  --help              show this help\n"
    "  --version           show the version\n"
    "Without a switch it serves the SMS manager on the session bus; the bus starts it so for\n"
    "the first call. A registration switch may also start with '/'.\n";

// The registration switch that `word` (without its dash) names, with its usual spelling.
std::optional<host::ServerCommand> SwitchNamed(std::string_view word, std::string& spelling) {
    const auto command = host::RegistrationSwitch(Utf8ToUtf16(word));
    if (command)
        spelling = *command == host::ServerCommand::kRegister ? "RegServer" : "UnregServer";
    return command;
}

ArgumentCheck Said(ArgumentCheck::Verdict verdict, std::string text) {
    ArgumentCheck check;
    check.verdict = verdict;
    check.text = std::move(text);
    return check;
}

ArgumentCheck Refuse(std::string_view argument, std::string_view after) {
    return Said(ArgumentCheck::Verdict::kRefused, std::string(kProgram) + ": unknown argument '" +
                                                      std::string(argument) + "'" +
                                                      std::string(after));
}

}  // namespace

ArgumentCheck CheckArguments(int argc, char** argv) {
    using enum ArgumentCheck::Verdict;
    using Settings = ServiceOptions::Settings;
    ArgumentCheck check;
    std::string registration;  // the first registration switch, as given
    bool settingsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?") {
            return Said(kHelp, std::string(kUsage));
        }
        if (arg == "--version") {
            return Said(kVersion, std::string(kProgram) + " " + MEREL_VERSION + "\n");
        }
        if (arg == "--system") {
            check.options.systemBus = true;
            continue;
        }
        const bool dirOption = arg == "--settings-dir" || arg.starts_with("--settings-dir=");
        if (dirOption || arg == "--user-settings") {
            if (settingsGiven) {
                return Said(kRefused,
                            std::string(kProgram) +
                                ": give one of --settings-dir and --user-settings, once\n");
            }
            settingsGiven = true;
            if (arg == "--user-settings") {
                check.options.settings = Settings::kUserConfig;
                continue;
            }
            std::string_view dir;
            if (arg.size() > std::string_view("--settings-dir").size()) {
                dir = arg.substr(arg.find('=') + 1);
            } else if (i + 1 < argc) {
                dir = argv[++i];
            }
            if (dir.empty()) {
                return Said(kRefused, std::string(kProgram) + ": --settings-dir needs a folder\n");
            }
            check.options.settings = Settings::kFolder;
            check.options.settingsDir = std::string(dir);
            continue;
        }
        const bool isSwitch = !arg.empty() && (arg[0] == '-' || arg[0] == '/');
        std::string meant;
        if (isSwitch) {
            if (const auto command = SwitchNamed(arg.substr(1), meant)) {
                if (registration.empty()) {
                    registration = arg;
                    check.command = *command;
                }
                continue;
            }
        } else if (SwitchNamed(arg, meant)) {
            // Without its dash the word would only start the service.
            return Refuse(arg, " (did you mean -" + meant + "?)\n");
        }
        return Refuse(arg, "\n" + std::string(kUsage));
    }
    if (!registration.empty() && (check.options.systemBus || settingsGiven)) {
        return Said(kRefused,
                    std::string(kProgram) + ": " + registration +
                        " registers the session service only and takes no other option\n");
    }
    return check;
}

std::string SettingsFolder(const ServiceOptions& options, const char* xdgConfigHome,
                           const char* home, std::string_view workingFolder) {
    std::string folder;
    switch (options.settings) {
        case ServiceOptions::Settings::kBesideExecutable:
            return {};
        case ServiceOptions::Settings::kFolder:
            folder = options.settingsDir;
            if (folder.front() != '/') {
                if (workingFolder.empty()) return {};
                folder = std::string(workingFolder) + "/" + folder;
            }
            break;
        case ServiceOptions::Settings::kUserConfig:
            folder = XdgHome(xdgConfigHome, home, ".config");
            if (folder.empty()) return {};
            while (folder.back() == '/') folder.pop_back();
            folder += "/MerelSMSManager";
            break;
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

}  // namespace merel::dbus
