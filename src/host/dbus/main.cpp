// MerelSMSManager for Linux: the SMS manager served on the session bus or the system bus.
//   MerelSMSManager -RegServer [--instance NAME]    install the activation file and the
//                                                   interface files
//   MerelSMSManager -UnregServer [--instance NAME]  remove them
//   MerelSMSManager --help | --version
//   MerelSMSManager [--system] [--settings-dir DIR | --user-settings] [--instance NAME]
//                   [--keep-running]
//                                  serve (the bus starts it this way for the first call)
#include <cstdio>

#include "host/dbus/activation_files.h"
#include "host/dbus/command_line.h"
#include "host/dbus/service.h"
#include "interface/hresult_text.h"

namespace {

// The exit status keeps only the low 8 bits of the HRESULT, so it is printed whole too.
int Report(const char* what, HRESULT hr) {
    if (merel::Failed(hr)) {
        std::fprintf(stderr, "MerelSMSManager: %s failed: %s\n", what,
                     merel::wire::BareFailureText(hr).c_str());
    }
    return static_cast<int>(hr);
}

}  // namespace

int main(int argc, char** argv) {
    using merel::dbus::ArgumentCheck;
    const ArgumentCheck check = merel::dbus::CheckArguments(argc, argv);
    switch (check.verdict) {
        case ArgumentCheck::Verdict::kHelp:
        case ArgumentCheck::Verdict::kVersion:
            std::fputs(check.text.c_str(), stdout);
            return 0;
        case ArgumentCheck::Verdict::kRefused:
            std::fputs(check.text.c_str(), stderr);
            return merel::dbus::kUsageExit;
        case ArgumentCheck::Verdict::kScan:
            break;
    }
    using merel::host::ServerCommand;
    switch (check.command) {
        case ServerCommand::kRegister:
            return Report("RegServer", merel::dbus::RegisterServer(
                                           check.options.instance,
                                           check.options.settings ==
                                               merel::dbus::ServiceOptions::Settings::kUserConfig));
        case ServerCommand::kUnregister:
            return Report("UnregServer", merel::dbus::UnregisterServer(check.options.instance));
        case ServerCommand::kRun:
            break;
    }
    return merel::dbus::RunService(check.options);
}
