#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/dbus/activation_files.h"
#include "host/dbus/interface_description.h"

namespace merel::dbus {
namespace {

namespace fs = std::filesystem;

class DbusActivationFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "merel-dbus-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir_;
};

TEST(DbusDataHome, AbsoluteXdgValueWinsOverHome) {
    EXPECT_EQ(DataHome("/data/me", "/home/me"), "/data/me");
    // Relative and empty values are invalid and fall back to the home folder.
    EXPECT_EQ(DataHome("data/me", "/home/me"), "/home/me/.local/share");
    EXPECT_EQ(DataHome("", "/home/me"), "/home/me/.local/share");
    EXPECT_EQ(DataHome(nullptr, "/home/me"), "/home/me/.local/share");
    EXPECT_EQ(DataHome(nullptr, nullptr), "");
    EXPECT_EQ(DataHome(nullptr, "relative"), "");
}

TEST(DbusDataHome, FilesSitWhereTheBusLooksForThem) {
    const ActivationPaths paths = ActivationPathsIn("/home/me/.local/share/");
    EXPECT_EQ(paths.serviceFile,
              "/home/me/.local/share/dbus-1/services/MerelSMSManager.SMSMgr.service");
    EXPECT_EQ(paths.interfaceFile,
              "/home/me/.local/share/dbus-1/interfaces/MerelSMSManagerLib.ISMSMgr.xml");
}

TEST(DbusServiceFile, NamesTheBusNameAndThisExecutable) {
    EXPECT_EQ(ServiceFileText("/opt/merel/MerelSMSManager"),
              "[D-BUS Service]\nName=MerelSMSManager.SMSMgr\nExec=/opt/merel/MerelSMSManager\n");
    // Exec= is split like a shell line: blanks and quotes must be quoted.
    EXPECT_EQ(ServiceFileText("/opt/My Apps/it's/MerelSMSManager"),
              "[D-BUS Service]\nName=MerelSMSManager.SMSMgr\n"
              "Exec='/opt/My Apps/it'\\''s/MerelSMSManager'\n");
}

TEST_F(DbusActivationFiles, WriteCreatesTheFoldersAndRemoveTakesBothAway) {
    const ActivationPaths paths = ActivationPathsIn((dir_ / "new" / "share").string());
    ASSERT_EQ(WriteActivationFiles(paths, "/opt/merel/MerelSMSManager"), 0);
    EXPECT_EQ(Read(paths.serviceFile), ServiceFileText("/opt/merel/MerelSMSManager"));
    EXPECT_EQ(Read(paths.interfaceFile), InterfaceDocument());
    // No temporary files are left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(paths.serviceFile).parent_path()),
                            fs::directory_iterator()),
              1);

    // Registering again replaces the files.
    ASSERT_EQ(WriteActivationFiles(paths, "/elsewhere/MerelSMSManager"), 0);
    EXPECT_EQ(Read(paths.serviceFile), ServiceFileText("/elsewhere/MerelSMSManager"));

    ASSERT_EQ(RemoveActivationFiles(paths), 0);
    EXPECT_FALSE(fs::exists(paths.serviceFile));
    EXPECT_FALSE(fs::exists(paths.interfaceFile));
    // Unregistering what is not registered succeeds.
    EXPECT_EQ(RemoveActivationFiles(paths), 0);
}

TEST_F(DbusActivationFiles, DataHomeThatIsAFileFailsWithPathNotFound) {
    const fs::path file = dir_ / "plain";
    std::ofstream(file) << "x";
    const ActivationPaths paths = ActivationPathsIn(file.string());
    EXPECT_EQ(WriteActivationFiles(paths, "/opt/merel/MerelSMSManager"),
              static_cast<HRESULT>(0x80070003u));
    EXPECT_EQ(Read(file.string()), "x");
}

TEST_F(DbusActivationFiles, RegisterAndUnregisterUseXdgDataHomeAndOwnPath) {
    const std::string dataHome = (dir_ / "xdg").string();
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string savedValue = saved != nullptr ? saved : "";
    setenv("XDG_DATA_HOME", dataHome.c_str(), 1);

    const ActivationPaths paths = ActivationPathsIn(dataHome);
    EXPECT_EQ(RegisterServer(), 0);
    const std::string own = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(Read(paths.serviceFile), ServiceFileText(own));
    EXPECT_EQ(UnregisterServer(), 0);
    EXPECT_FALSE(fs::exists(paths.serviceFile));
    EXPECT_FALSE(fs::exists(paths.interfaceFile));

    if (saved != nullptr) {
        setenv("XDG_DATA_HOME", savedValue.c_str(), 1);
    } else {
        unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace
}  // namespace merel::dbus
