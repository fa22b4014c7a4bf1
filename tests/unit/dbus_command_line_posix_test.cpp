#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/dbus/command_line.h"
#include "host/win32/command_line.h"

namespace merel::dbus {
namespace {

using host::ServerCommand;

ServerCommand Scan(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    return host::ScanCommandLine(CommandLineOf(static_cast<int>(argv.size()), argv.data()));
}

TEST(DbusCommandLine, ArgumentsJoinIntoOneUtf16Line) {
    std::string program = "/opt/m\xC3\xA9rel/MerelSMSManager";
    std::string first = "-x";
    std::string second = "/RegServer";
    char* argv[] = {program.data(), first.data(), second.data()};
    EXPECT_EQ(CommandLineOf(3, argv), u"/opt/m\u00E9rel/MerelSMSManager -x /RegServer");
    EXPECT_EQ(CommandLineOf(0, argv), u"");
}

TEST(DbusCommandLine, LinuxPathsAndArgumentsReachTheSwitchScan) {
    EXPECT_EQ(Scan({"/usr/bin/MerelSMSManager", "-RegServer"}), ServerCommand::kRegister);
    EXPECT_EQ(Scan({"/usr/bin/MerelSMSManager", "/unregserver"}), ServerCommand::kUnregister);
    EXPECT_EQ(Scan({"/usr/bin/MerelSMSManager"}), ServerCommand::kRun);
    // Folders of the program path are followed by a slash, so none of them is a switch, and
    // the last argument ends the line.
    EXPECT_EQ(Scan({"/srv/RegServer/MerelSMSManager"}), ServerCommand::kRun);
    EXPECT_EQ(Scan({"/srv/RegServer/MerelSMSManager", "-UnregServer"}), ServerCommand::kUnregister);
    // Each argument is separated by a blank, so a switch at the end of one argument counts.
    EXPECT_EQ(Scan({"/usr/bin/MerelSMSManager", "--opt=-RegServer", "x"}),
              ServerCommand::kRegister);
}

ArgumentCheck Check(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/MerelSMSManager");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    return CheckArguments(static_cast<int>(argv.size()), argv.data());
}

TEST(DbusCommandLine, HelpVersionAndRefusedArguments) {
    using enum ArgumentCheck::Verdict;
    const std::string usageStart = "Usage: MerelSMSManager [-RegServer";
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
        {{"-RegServer", "--version"}, kVersion, "MerelSMSManager 1.0.0.1\n"},
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

}  // namespace
}  // namespace merel::dbus
