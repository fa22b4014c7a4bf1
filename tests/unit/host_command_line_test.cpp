// The server's command-line scan: which switch registers, unregisters or runs the server.
#include <gtest/gtest.h>

#include <string>

#include "base/narrow.h"
#include "host/common/command_line_scan.h"
#include "host/win32/service_config.h"

namespace merel::host {
namespace {

struct Case {
    const char16_t* commandLine;
    ServerCommand expected;
};

void ExpectAll(const std::initializer_list<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(ScanCommandLine(c.commandLine), c.expected) << Utf16ToUtf8(c.commandLine);
    }
}

constexpr auto kRun = ServerCommand::kRun;
constexpr auto kRegister = ServerCommand::kRegister;
constexpr auto kUnregister = ServerCommand::kUnregister;

TEST(CommandLine, EitherSwitchAfterDashOrSlashInAnyCase) {
    ExpectAll({
        {u"C:\\Merel\\MerelSMSManager.exe /regserver", kRegister},
        {u"C:\\Merel\\MerelSMSManager.exe -RegServer", kRegister},
        {u"MerelSMSManager.exe /REGSERVER", kRegister},
        {u"C:\\Merel\\MerelSMSManager.exe -UnregServer", kUnregister},
        {u"MerelSMSManager.exe /unregserver", kUnregister},
        {u"MerelSMSManager.exe -uNrEgSeRvEr", kUnregister},
    });
}

TEST(CommandLine, WordMustEndAtBlankTabOrEnd) {
    ExpectAll({
        {u"x.exe /RegServer ", kRegister},
        {u"x.exe /RegServer\t/quiet", kRegister},
        {u"x.exe -UnregServer\tmore", kUnregister},
        {u"x.exe /RegServerX", kRun},
        {u"x.exe /RegServer2", kRun},
        {u"x.exe /RegServer/x", kRun},
        {u"x.exe /RegServer\n", kRun},
        {u"x.exe /UnregServers", kRun},
        {u"x.exe /Reg", kRun},
        {u"x.exe / RegServer", kRun},
        {u"x.exe RegServer", kRun},
    });
}

TEST(CommandLine, UnrelatedSwitchesRunTheServer) {
    ExpectAll({
        {u"", kRun},
        {u"C:\\Merel\\MerelSMSManager.exe", kRun},
        {u"C:\\Merel\\MerelSMSManager.exe -Embedding", kRun},
        {u"C:\\Merel\\MerelSMSManager.exe /Automation", kRun},
        {u"x.exe /", kRun},
        {u"x.exe -", kRun},
    });
}

TEST(CommandLine, FirstMatchDecidesAndOtherSwitchesAreSkipped) {
    ExpectAll({
        {u"x.exe /RegServer -UnregServer", kRegister},
        {u"x.exe -UnregServer /RegServer", kUnregister},
        {u"x.exe -Embedding /RegServer", kRegister},
        {u"x.exe --RegServer", kRegister},
        {u"x.exe /-UnregServer", kUnregister},
        {u"x.exe -RegServerX /UnregServer", kUnregister},
    });
}

TEST(CommandLine, ProgramPathTakesPartInTheScan) {
    ExpectAll({
        // A dash or slash inside the path starts a word that does not end at a blank.
        {u"C:\\my-RegServer\\MerelSMSManager.exe", kRun},
        {u"C:/Merel/RegServer/MerelSMSManager.exe", kRun},
        // The scan has no notion of where the path ends: a blank-delimited switch word inside
        // a quoted path counts like one after it.
        {u"\"C:\\Program Files\\a /RegServer b\\MerelSMSManager.exe\" -Embedding", kRegister},
    });
}

// Service mode: "/RegServer /Service" registers the service too, and the command line the
// service control manager starts runs the server as the service.
TEST(CommandLine, ServiceSwitchBesideTheCommandOrAlone) {
    const std::u16string started =
        ServiceCommandLine(u"C:\\Program Files\\Merel\\MerelSMSManager.exe");
    EXPECT_EQ(Utf16ToUtf8(started), "\"C:\\Program Files\\Merel\\MerelSMSManager.exe\" -Service");
    EXPECT_EQ(ScanCommandLine(started), kRun);
    EXPECT_TRUE(HasSwitch(started, kServiceSwitch));

    const struct {
        const char16_t* commandLine;
        ServerCommand command;
        bool service;
    } cases[] = {
        {u"x.exe /RegServer /Service", kRegister, true},
        {u"x.exe -service -regserver", kRegister, true},
        {u"x.exe /RegServer\t/SERVICE", kRegister, true},
        {u"x.exe /UnregServer /Service", kUnregister, true},
        {u"x.exe /RegServer", kRegister, false},
        {u"x.exe /RegServer /Services", kRegister, false},
        {u"x.exe /RegServer /Service2", kRegister, false},
        {u"x.exe /RegServer Service", kRegister, false},
        {u"x.exe -Embedding", kRun, false},
        // A dash inside a folder name starts no switch.
        {u"C:\\tools-Service\\MerelSMSManager.exe -Embedding", kRun, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.commandLine));
        EXPECT_EQ(ScanCommandLine(c.commandLine), c.command);
        EXPECT_EQ(HasSwitch(c.commandLine, kServiceSwitch), c.service);
    }
}

}  // namespace
}  // namespace merel::host
