#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/dbus/command_line.h"
#include "host/common/command_line_scan.h"

namespace merel::dbus {
namespace {

using host::ServerCommand;

ArgumentCheck Check(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/MerelSMSManager");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    return CheckArguments(static_cast<int>(argv.size()), argv.data());
}

TEST(DbusCommandLine, RegistrationSwitchesAreWholeArgumentsAndTheFirstDecides) {
    EXPECT_EQ(Check({"-RegServer"}).command, ServerCommand::kRegister);
    EXPECT_EQ(Check({"/unregserver"}).command, ServerCommand::kUnregister);
    EXPECT_EQ(Check({}).command, ServerCommand::kRun);
    EXPECT_EQ(Check({"-UnregServer", "/RegServer"}).command, ServerCommand::kUnregister);
    // The program's own path is not an argument: a folder named like a switch registers nothing.
    std::string program = "/srv/-RegServer/MerelSMSManager";
    char* argv[] = {program.data()};
    EXPECT_EQ(CheckArguments(1, argv).command, ServerCommand::kRun);
}

TEST(DbusCommandLine, HelpVersionAndRefusedArguments) {
    using enum ArgumentCheck::Verdict;
    const std::string usageStart = "Usage: MerelSMSManager [--system]";
    struct Case {
        std::vector<std::string> args;
        ArgumentCheck::Verdict verdict;
        std::string textStart;  // what the printed text starts with
    };
    const Case cases[] = {
        // Bus activation starts it without arguments: it serves.
        {{}, kScan, ""},
        {{"-RegServer"}, kScan, ""},
        {{"/unregserver"}, kScan, ""},
        {{"--help"}, kHelp, usageStart},
        {{"-RegServer", "--version"}, kVersion, "MerelSMSManager " MEREL_VERSION "\n"},
        {{"--system", "--user-settings"}, kScan, ""},
        {{"--settings-dir"}, kRefused, "MerelSMSManager: --settings-dir needs a folder\n"},
        {{"--settings-dir="}, kRefused, "MerelSMSManager: --settings-dir needs a folder\n"},
        {{"--user-settings", "--settings-dir", "/x"},
         kRefused,
         "MerelSMSManager: give one of --settings-dir and --user-settings, once\n"},
        {{"--settings-dirx"}, kRefused, "MerelSMSManager: unknown argument '--settings-dirx'\n"},
        // Registration writes the plain session activation file, whatever else was asked.
        {{"-RegServer", "--system"},
         kRefused,
         "MerelSMSManager: -RegServer registers the session service only"},
        {{"--user-settings", "/UnregServer"},
         kRefused,
         "MerelSMSManager: /UnregServer registers the session service only"},
        // Without a dash or slash the word would only start the service.
        {{"RegServer"},
         kRefused,
         "MerelSMSManager: unknown argument 'RegServer' (did you mean -RegServer?)\n"},
        {{"unregserver"},
         kRefused,
         "MerelSMSManager: unknown argument 'unregserver' (did you mean -UnregServer?)\n"},
        {{"--serve"}, kRefused, "MerelSMSManager: unknown argument '--serve'\n" + usageStart},
        {{"-RegServer", "now"}, kRefused, "MerelSMSManager: unknown argument 'now'\n"},
        {{"-RegServerX"}, kRefused, "MerelSMSManager: unknown argument '-RegServerX'\n"},
    };
    for (const Case& c : cases) {
        const ArgumentCheck check = Check(c.args);
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.back());
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(check.text.substr(0, c.textStart.size()), c.textStart);
        if (c.verdict != kScan) {
            EXPECT_EQ(check.text.back(), '\n');
        }
    }
}

TEST(DbusCommandLine, ServiceOptionsAndTheLineLeftForTheSwitchScan) {
    using Settings = ServiceOptions::Settings;
    struct Case {
        std::vector<std::string> args;
        bool systemBus;
        Settings settings;
        std::string settingsDir;
        ServerCommand command;
    };
    const Case cases[] = {
        {{}, false, Settings::kBesideExecutable, "", ServerCommand::kRun},
        {{"--system"}, true, Settings::kBesideExecutable, "", ServerCommand::kRun},
        // A folder named like a switch is a value, never a registration.
        {{"--settings-dir", "/srv/-RegServer"},
         false,
         Settings::kFolder,
         "/srv/-RegServer",
         ServerCommand::kRun},
        {{"--settings-dir=-UnregServer", "--system"},
         true,
         Settings::kFolder,
         "-UnregServer",
         ServerCommand::kRun},
        {{"--user-settings"}, false, Settings::kUserConfig, "", ServerCommand::kRun},
        {{"-regserver"}, false, Settings::kBesideExecutable, "", ServerCommand::kRegister},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.front());
        const ArgumentCheck check = Check(c.args);
        ASSERT_EQ(check.verdict, ArgumentCheck::Verdict::kScan) << check.text;
        EXPECT_EQ(check.options.systemBus, c.systemBus);
        EXPECT_EQ(check.options.settings, c.settings);
        EXPECT_EQ(check.options.settingsDir, c.settingsDir);
        EXPECT_EQ(check.command, c.command);
    }
}

TEST(DbusCommandLine, SettingsFolderFromTheOptionsAndTheEnvironment) {
    using Settings = ServiceOptions::Settings;
    struct Case {
        Settings settings;
        std::string dir;
        const char* xdgConfigHome;
        const char* home;
        std::string working;
        std::string folder;
    };
    const Case cases[] = {
        {Settings::kBesideExecutable, "", "/cfg", "/home/me", "/w", ""},
        {Settings::kFolder, "/var/lib/merel//", nullptr, nullptr, "/w", "/var/lib/merel"},
        {Settings::kFolder, "conf", nullptr, nullptr, "/w", "/w/conf"},
        {Settings::kFolder, "conf", nullptr, nullptr, "", ""},
        {Settings::kFolder, "/", nullptr, nullptr, "", "/"},
        {Settings::kUserConfig, "", "/cfg/", "/home/me", "/w", "/cfg/MerelSMSManager"},
        // A relative value is invalid by the base-directory rules: the home folder's is used.
        {Settings::kUserConfig, "", "cfg", "/home/me", "/w", "/home/me/.config/MerelSMSManager"},
        {Settings::kUserConfig, "", nullptr, "/home/me", "/w", "/home/me/.config/MerelSMSManager"},
        {Settings::kUserConfig, "", "", nullptr, "/w", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir + " " + (c.xdgConfigHome ? c.xdgConfigHome : "(unset)"));
        ServiceOptions options;
        options.settings = c.settings;
        options.settingsDir = c.dir;
        EXPECT_EQ(SettingsFolder(options, c.xdgConfigHome, c.home, c.working), c.folder);
    }
}

}  // namespace
}  // namespace merel::dbus
