// The Linux command line: the registration switches, which the Windows server's scan reads,
// and what a Linux user expects besides (--help, --version, a refusal of words the service
// does not know, so that a mistyped switch never starts it by surprise).
#pragma once

#include <string>
#include <string_view>

#include "host/common/command_line_scan.h"

namespace merel::dbus {

// How the service runs, from its options.
struct ServiceOptions {
    bool systemBus = false;  // --system: take the name on the system bus
    enum class Settings {
        kBesideExecutable,  // no option: SMSMgr.ini beside the executable
        kFolder,            // --settings-dir DIR
        kUserConfig,        // --user-settings: the user's own configuration folder
    } settings = Settings::kBesideExecutable;
    std::string settingsDir;  // for kFolder, as given
    // --instance NAME: one service among several (one per modem), with a bus name and a
    // settings folder of its own; empty for the plain service.
    std::string instance;
    // --keep-running: no idle exit, for a service that systemd starts and keeps, which the bus
    // could not start again for the next call.
    bool keepRunning = false;
};

struct ArgumentCheck {
    enum class Verdict {
        kScan,     // run or register as `command` says
        kHelp,     // print `text` on standard output, exit 0
        kVersion,  // print `text` on standard output, exit 0
        kRefused,  // print `text` on standard error, exit kUsageExit
    };
    Verdict verdict = Verdict::kScan;
    std::string text;
    ServiceOptions options;  // for kScan
    // For kScan: what the registration switches ask for (the first one decides). Only whole
    // arguments count, so that a folder named like a switch cannot register anything.
    host::ServerCommand command = host::ServerCommand::kRun;
};

// EX_USAGE of sysexits.h.
inline constexpr int kUsageExit = 64;

// Looks at argv[1..]: the first argument that decides (help, version, an unknown one) wins.
// Registration takes no service option but --instance and --user-settings, since it writes a
// session activation file, of the plain service or of the instance.
ArgumentCheck CheckArguments(int argc, char** argv);

// The folder of SMSMgr.ini that the options choose, with no closing slash; empty for the
// executable's folder, and for --user-settings when neither configuration home is known.
// An instance keeps its settings in a folder of its name inside that folder (inside
// `executableFolder` without a settings option; empty when that is not known).
// A relative --settings-dir is taken from `workingFolder`. --user-settings gives
// $XDG_CONFIG_HOME/MerelSMSManager when that is absolute, otherwise
// $HOME/.config/MerelSMSManager.
std::string SettingsFolder(const ServiceOptions& options, const char* xdgConfigHome,
                           const char* home, std::string_view workingFolder,
                           std::string_view executableFolder = {});

}  // namespace merel::dbus
