#include "host/dbus/command_line.h"

#include <string_view>
#include <utility>
#include <optional>

#include "base/narrow.h"
#include "host/dbus/activation_files.h"
#include "interface/instance_name.h"

namespace merel::dbus {

namespace {

constexpr std::string_view kProgram = "MerelSMSManager";

constexpr std::string_view kUsage =
    "Usage: MerelSMSManager [--system] [--settings-dir DIR | --user-settings]\n"
    "                       [--instance NAME] [--keep-running]\n"
    "       MerelSMSManager -RegServer [--instance NAME] [--user-settings]\n"
    "       MerelSMSManager -UnregServer [--instance NAME]\n"
    "       MerelSMSManager --help | --version\n"
    "  --system            serve on the system bus instead of the session bus\n"
    "  --instance NAME     serve one modem among several: the bus name\n"
    "                      MerelSMSManager.SMSMgr.NAME, the settings in the folder NAME inside\n"
    "                      the settings folder; NAME: 1 to 64 letters, digits or '_', not\n"
    "                      starting with a digit\n"
    "  --keep-running      serve until stopped, without the idle exit (for systemd)\n"
    "  --settings-dir DIR  keep SMSMgr.ini in DIR instead of beside the executable\n"
    "  --user-settings     keep SMSMgr.ini in $XDG_CONFIG_HOME/MerelSMSManager (by default\n"
    "                      ~/.config/MerelSMSManager), made on the first save\n"
    "  -RegServer          install the session bus's activation file (the instance's with\n"
    "                      --instance; starting it with --user-settings when given) and the\n"
    "                      interface files, then exit\n"
    "  -UnregServer        remove them (with --instance, only the instance's activation\n"
    "                      file), then exit\n"
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
        if (arg == "--keep-running") {
            check.options.keepRunning = true;
            continue;
        }
        if (arg == "--instance" || arg.starts_with("--instance=")) {
            std::string_view name;
            const bool joined = arg.size() > std::string_view("--instance").size();
            if (joined) {
                name = arg.substr(arg.find('=') + 1);
            } else if (i + 1 < argc) {
                name = argv[++i];
            } else {
                return Said(kRefused, std::string(kProgram) + ": --instance needs a name (" +
                                          wire::kInstanceNameRule + ")\n");
            }
            if (!check.options.instance.empty()) {
                return Said(kRefused, std::string(kProgram) + ": give --instance once\n");
            }
            if (!wire::IsInstanceName(name)) {
                return Said(kRefused, std::string(kProgram) + ": invalid instance name '" +
                                          std::string(name) + "': an instance name is " +
                                          wire::kInstanceNameRule + "\n");
            }
            check.options.instance = std::string(name);
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
    // The service it registers may keep its settings in the user's folder, which an
    // installed copy needs: the executable's own folder is not the user's to write.
    const bool userSettingsOnly =
        !settingsGiven || (check.options.settings == ServiceOptions::Settings::kUserConfig &&
                           check.command == host::ServerCommand::kRegister);
    if (!registration.empty() &&
        (check.options.systemBus || !userSettingsOnly || check.options.keepRunning)) {
        return Said(kRefused, std::string(kProgram) + ": " + registration +
                                  " registers the session service only and takes no other "
                                  "option but --instance and --user-settings\n");
    }
    return check;
}

std::string SettingsFolder(const ServiceOptions& options, const char* xdgConfigHome,
                           const char* home, std::string_view workingFolder,
                           std::string_view executableFolder) {
    std::string folder;
    switch (options.settings) {
        case ServiceOptions::Settings::kBesideExecutable:
            if (options.instance.empty() || executableFolder.empty()) return {};
            folder = executableFolder;
            break;
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
    if (!options.instance.empty()) {
        if (folder != "/") folder += '/';
        folder += options.instance;
    }
    return folder;
}

}  // namespace merel::dbus
