// One service per modem: the name that picks the instance, what the service makes of
// --instance (its bus name, its settings folder, its registration), and the activation file
// each instance gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/dbus/activation_files.h"
#include "host/dbus/command_line.h"
#include "interface/instance_name.h"

namespace merel::dbus {
namespace {

using host::ServerCommand;

ArgumentCheck Check(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/libexec/merel-sms-manager/MerelSMSManager");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    return CheckArguments(static_cast<int>(argv.size()), argv.data());
}

TEST(InstanceName, FitForTheBusAFolderAndASystemdInstance) {
    for (const char* good : {"a", "modem1", "Modem_2", "_x", "ABCdef_09"}) {
        EXPECT_TRUE(wire::IsInstanceName(good)) << good;
    }
    const std::string longest(64, 'm');
    EXPECT_TRUE(wire::IsInstanceName(longest));
    // A bus name element may not start with a digit nor hold '-'; '.', '/' and blanks would
    // make another bus name or leave the settings folder.
    for (const std::string& bad : std::vector<std::string>{
             "", "1modem", "9", "modem-1", "a.b", "../etc", "a/b", "a b", "mödem", longest + "m"}) {
        EXPECT_FALSE(wire::IsInstanceName(bad)) << bad;
    }

    EXPECT_EQ(wire::InstanceBusName(""), "MerelSMSManager.SMSMgr");
    EXPECT_EQ(wire::InstanceBusName("modem1"), "MerelSMSManager.SMSMgr.modem1");

    // Back from the bus's list of names: the plain service, instances, and names that only
    // look alike.
    std::string instance = "unchanged";
    EXPECT_TRUE(wire::InstanceOfBusName("MerelSMSManager.SMSMgr", instance));
    EXPECT_EQ(instance, "");
    EXPECT_TRUE(wire::InstanceOfBusName("MerelSMSManager.SMSMgr.b_2", instance));
    EXPECT_EQ(instance, "b_2");
    for (const char* other :
         {"MerelSMSManager.SMSMgrX", "MerelSMSManager.SMSMgr.", "MerelSMSManager.SMSMgr.a.b",
          "MerelSMSManager.SMSMgr.1a", "MerelSMSManager.SMSMg", ":1.42", "org.freedesktop.DBus"}) {
        instance = "unchanged";
        EXPECT_FALSE(wire::InstanceOfBusName(other, instance)) << other;
        EXPECT_EQ(instance, "unchanged") << other;
    }
}

TEST(InstanceCommandLine, TheOptionIsReadInBothFormsAndABadNameIsRefusedWithTheRule) {
    EXPECT_EQ(Check({}).options.instance, "");
    EXPECT_EQ(Check({"--instance", "a"}).options.instance, "a");
    const ArgumentCheck joined = Check({"--system", "--instance=modem_1", "--keep-running"});
    ASSERT_EQ(joined.verdict, ArgumentCheck::Verdict::kScan) << joined.text;
    EXPECT_EQ(joined.options.instance, "modem_1");
    EXPECT_TRUE(joined.options.systemBus);
    EXPECT_TRUE(joined.options.keepRunning);
    EXPECT_FALSE(Check({"--instance", "a"}).options.keepRunning);

    // An instance registers and unregisters its own activation file.
    const ArgumentCheck reg = Check({"-RegServer", "--instance", "b"});
    ASSERT_EQ(reg.verdict, ArgumentCheck::Verdict::kScan) << reg.text;
    EXPECT_EQ(reg.command, ServerCommand::kRegister);
    EXPECT_EQ(reg.options.instance, "b");
    EXPECT_EQ(Check({"--instance=b", "/UnregServer"}).command, ServerCommand::kUnregister);
    // An installed copy's instance keeps its settings in the user's folder.
    const ArgumentCheck user = Check({"-RegServer", "--user-settings", "--instance", "b"});
    ASSERT_EQ(user.verdict, ArgumentCheck::Verdict::kScan) << user.text;
    EXPECT_EQ(user.options.settings, ServiceOptions::Settings::kUserConfig);

    const std::string rule =
        "an instance name is 1 to 64 letters (A-Z, a-z), digits or '_', not starting with a "
        "digit\n";
    struct Refused {
        std::vector<std::string> args;
        std::string text;
    };
    const Refused refused[] = {
        {{"--instance", "modem-1"}, "MerelSMSManager: invalid instance name 'modem-1': " + rule},
        {{"--instance=1a"}, "MerelSMSManager: invalid instance name '1a': " + rule},
        {{"--instance="}, "MerelSMSManager: invalid instance name '': " + rule},
        {{"--instance"},
         "MerelSMSManager: --instance needs a name (1 to 64 letters (A-Z, a-z), digits or '_', "
         "not starting with a digit)\n"},
        {{"--instance", "a", "--instance", "b"}, "MerelSMSManager: give --instance once\n"},
        // A switch after --instance is taken as its (bad) name, never as the switch.
        {{"--instance", "-RegServer"},
         "MerelSMSManager: invalid instance name '-RegServer': " + rule},
        {{"-RegServer", "--instance", "a", "--keep-running"},
         "MerelSMSManager: -RegServer registers the session service only and takes no other "
         "option but --instance and --user-settings\n"},
    };
    for (const Refused& r : refused) {
        const ArgumentCheck check = Check(r.args);
        EXPECT_EQ(check.verdict, ArgumentCheck::Verdict::kRefused) << r.args.back();
        EXPECT_EQ(check.text, r.text);
    }
    EXPECT_NE(Check({"--help"}).text.find("--instance NAME"), std::string::npos);
}

TEST(InstanceCommandLine, EachSettingsModeGetsAFolderOfTheInstancesName) {
    using Settings = ServiceOptions::Settings;
    struct Case {
        Settings settings;
        std::string dir, executableFolder, folder;
    };
    const Case cases[] = {
        {Settings::kBesideExecutable, "", "/opt/merel", "/opt/merel/a"},
        // Not knowing the executable's folder is no folder, never the working one.
        {Settings::kBesideExecutable, "", "", ""},
        {Settings::kFolder, "/var/lib/merel-sms-manager/", "/opt/merel",
         "/var/lib/merel-sms-manager/a"},
        {Settings::kFolder, "conf", "", "/w/conf/a"},
        {Settings::kFolder, "/", "", "/a"},
        {Settings::kUserConfig, "", "/opt/merel", "/cfg/MerelSMSManager/a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir + " " + c.executableFolder);
        ServiceOptions options;
        options.settings = c.settings;
        options.settingsDir = c.dir;
        options.instance = "a";
        EXPECT_EQ(SettingsFolder(options, "/cfg", "/home/me", "/w", c.executableFolder), c.folder);
    }
    // The plain service keeps its folders: beside the executable is still "" (the manager's
    // own default).
    ServiceOptions plain;
    EXPECT_EQ(SettingsFolder(plain, "/cfg", "/home/me", "/w", "/opt/merel"), "");
    plain.settings = Settings::kUserConfig;
    EXPECT_EQ(SettingsFolder(plain, "/cfg", "/home/me", "/w", "/opt/merel"),
              "/cfg/MerelSMSManager");
}

TEST(InstanceActivation, EachInstanceHasItsOwnFileStartingItAsThatInstance) {
    EXPECT_EQ(ServiceFileText("/opt/My Apps/MerelSMSManager", "modem1"),
              "[D-BUS Service]\nName=MerelSMSManager.SMSMgr.modem1\n"
              "Exec='/opt/My Apps/MerelSMSManager' --instance modem1\n");
    EXPECT_EQ(ServiceFileText("/usr/libexec/merel-sms-manager/MerelSMSManager", "b", true),
              "[D-BUS Service]\nName=MerelSMSManager.SMSMgr.b\n"
              "Exec=/usr/libexec/merel-sms-manager/MerelSMSManager --user-settings --instance b\n");
    const ActivationPaths plain = ActivationPathsIn("/home/me/.local/share");
    const ActivationPaths a = ActivationPathsIn("/home/me/.local/share", "a");
    EXPECT_EQ(a.serviceFile,
              "/home/me/.local/share/dbus-1/services/MerelSMSManager.SMSMgr.a.service");
    // The interface descriptions are shared.
    EXPECT_EQ(a.interfaceFiles, plain.interfaceFiles);
}

}  // namespace
}  // namespace merel::dbus
