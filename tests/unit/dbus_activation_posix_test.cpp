#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/dbus/activation_files.h"
#include "interface/description.h"

namespace merel::dbus {

using namespace merel::wire;
namespace {

namespace fs = std::filesystem;

class DbusActivationFiles : public ::testing::Test {
  protected:
    // A fresh folder, with XDG_DATA_HOME pointing at folders below it that do not exist yet.
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "merel-dbus-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        dataHome_ = (dir_ / "new" / "share").string();
        if (const char* saved = std::getenv("XDG_DATA_HOME")) saved_ = saved;
        setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
    }
    void TearDown() override {
        saved_ ? setenv("XDG_DATA_HOME", saved_->c_str(), 1) : unsetenv("XDG_DATA_HOME");
        fs::remove_all(dir_);
    }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir_;
    std::string dataHome_;
    std::optional<std::string> saved_;
};

TEST(DbusDataHome, AbsoluteXdgValueWinsOverHomeAndFilesSitWhereTheBusLooks) {
    EXPECT_EQ(DataHome("/data/me", "/home/me"), "/data/me");
    // Relative and empty values are invalid and fall back to the home folder.
    EXPECT_EQ(DataHome("data/me", "/home/me"), "/home/me/.local/share");
    EXPECT_EQ(DataHome("", "/home/me"), "/home/me/.local/share");
    EXPECT_EQ(DataHome(nullptr, "/home/me"), "/home/me/.local/share");
    EXPECT_EQ(DataHome(nullptr, nullptr), "");
    EXPECT_EQ(DataHome(nullptr, "relative"), "");

    const ActivationPaths paths = ActivationPathsIn("/home/me/.local/share/");
    EXPECT_EQ(paths.serviceFile,
              "/home/me/.local/share/dbus-1/services/MerelSMSManager.SMSMgr.service");
    EXPECT_EQ(paths.interfaceFiles,
              (std::vector<std::string>{
                  "/home/me/.local/share/dbus-1/interfaces/MerelSMSManagerLib.ISMSMgr.xml",
                  "/home/me/.local/share/dbus-1/interfaces/MerelSMSManagerLib.ISMSMgr2.xml"}));
}

TEST(DbusServiceFile, NamesTheBusNameAndThisExecutable) {
    EXPECT_EQ(ServiceFileText("/opt/merel/MerelSMSManager"),
              "[D-BUS Service]\nName=MerelSMSManager.SMSMgr\nExec=/opt/merel/MerelSMSManager\n");
    // Exec= is split like a shell line: blanks and quotes must be quoted.
    EXPECT_EQ(ServiceFileText("/opt/My Apps/it's/MerelSMSManager"),
              "[D-BUS Service]\nName=MerelSMSManager.SMSMgr\n"
              "Exec='/opt/My Apps/it'\\''s/MerelSMSManager'\n");
}

TEST_F(DbusActivationFiles, RegisterWritesBothFilesAndUnregisterTakesThemAway) {
    const ActivationPaths paths = ActivationPathsIn(dataHome_);
    ASSERT_EQ(RegisterServer(), 0);
    EXPECT_EQ(Read(paths.serviceFile),
              ServiceFileText(fs::read_symlink("/proc/self/exe").string()));
    // One file per interface, each holding that interface alone.
    ASSERT_EQ(paths.interfaceFiles.size(), 2u);
    EXPECT_EQ(Read(paths.interfaceFiles[0]), InterfaceDocument(Interfaces()[0]));
    EXPECT_EQ(Read(paths.interfaceFiles[1]), InterfaceDocument(Interfaces()[1]));
    EXPECT_EQ(Read(paths.interfaceFiles[1]).find("<method name=\"Init\""), std::string::npos);
    // No temporary files are left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(paths.serviceFile).parent_path()),
                            fs::directory_iterator()),
              1);

    // Registering again replaces the files.
    ASSERT_EQ(WriteActivationFiles(paths, "/elsewhere/MerelSMSManager"), 0);
    EXPECT_EQ(Read(paths.serviceFile), ServiceFileText("/elsewhere/MerelSMSManager"));

    ASSERT_EQ(UnregisterServer(), 0);
    EXPECT_FALSE(fs::exists(paths.serviceFile));
    for (const std::string& file : paths.interfaceFiles) EXPECT_FALSE(fs::exists(file)) << file;
    // Unregistering what is not registered succeeds.
    EXPECT_EQ(RemoveActivationFiles(paths), 0);

    // A data home that is a file fails with "path not found" and stays as it was.
    const fs::path file = dir_ / "plain";
    std::ofstream(file) << "x";
    EXPECT_EQ(WriteActivationFiles(ActivationPathsIn(file.string()), "/opt/merel/MerelSMSManager"),
              static_cast<HRESULT>(0x80070003u));
    EXPECT_EQ(Read(file.string()), "x");
}

}  // namespace
}  // namespace merel::dbus
