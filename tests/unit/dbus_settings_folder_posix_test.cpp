// The user's settings folder: made on the first save, private, and never by a read.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/narrow.h"
#include "fakes.h"
#include "host/dbus/activation_files.h"
#include "host/dbus/settings_folder.h"
#include "settings/settings_io.h"

namespace merel::dbus {
namespace {

namespace fs = std::filesystem;

std::int32_t MakePrivate(const std::string& folder) {
    return MakeFolders(folder, 0700);
}

TEST(DbusSettingsFolder, FirstSaveMakesTheMissingFoldersPrivateAndAReadMakesNone) {
    std::string pattern = (fs::temp_directory_path() / "merel-cfg-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path root = pattern;
    // A fresh user has no ~/.config either.
    const std::string folder = (root / ".config" / "MerelSMSManager").string();
    const std::u16string ini = Utf8ToUtf16(folder + "/SMSMgr.ini");
    FolderMakingFiles files(SystemSettingsFileSystem(), folder, MakePrivate);
    FileHandle handle = kNoFile;
    std::int32_t lastError = 0;
    Failure failure;
    SettingsRecord record;
    record.port = u"/dev/ttyS0";

    EXPECT_EQ(LoadIniFile({files, handle, lastError, failure}, ini, record),
              static_cast<HRESULT>(0x80070003u));
    EXPECT_FALSE(fs::exists(root / ".config"));

    ASSERT_EQ(SaveIniFile({files, handle, lastError, failure}, ini, record), kS_OK);
    std::ifstream in(folder + "/SMSMgr.ini", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_TRUE(text.str().starts_with("Port:/dev/ttyS0\r\n")) << text.str();
    for (const fs::path& made : {root / ".config", fs::path(folder)}) {
        struct stat st {};
        ASSERT_EQ(stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << made;
    }
    fs::remove_all(root);
}

TEST(DbusSettingsFolder, ALinkInTheUsersFolderIsSavedThrough) {
    std::string pattern = (fs::temp_directory_path() / "merel-cfg-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path root = pattern;
    const fs::path folder = root / "MerelSMSManager", kept = root / "kept.ini";
    fs::create_directory(folder);
    fs::create_symlink(kept, folder / "SMSMgr.ini");
    FolderMakingFiles files(SystemSettingsFileSystem(), folder.string(), MakePrivate);
    FileHandle handle = kNoFile;
    std::int32_t lastError = 0;
    Failure failure;
    SettingsRecord record;
    record.port = u"/dev/ttyS0";
    ASSERT_EQ(SaveIniFile({files, handle, lastError, failure},
                          Utf8ToUtf16((folder / "SMSMgr.ini").string()), record),
              kS_OK)
        << failure.Text();
    EXPECT_TRUE(fs::is_symlink(folder / "SMSMgr.ini"));
    std::ifstream in(kept, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_TRUE(text.str().starts_with("Port:/dev/ttyS0\r\n")) << text.str();
    fs::remove_all(root);
}

TEST(DbusSettingsFolder, AFolderThatCannotBeMadeFailsTheSaveWithItsErrorAndWritesNothing) {
    test::FakeSettingsFiles fake;
    FolderMakingFiles files(fake, "/cfg", [](const std::string&) { return std::int32_t{5}; });
    FileHandle handle = kNoFile;
    std::int32_t lastError = 0;
    Failure failure;
    SettingsRecord record;
    record.port = u"COM1";
    EXPECT_EQ(SaveIniFile({files, handle, lastError, failure}, u"/cfg/SMSMgr.ini", record),
              static_cast<HRESULT>(0x80070005u));
    EXPECT_TRUE(fake.files.empty());
    EXPECT_FALSE(fake.AnyOpen());
    EXPECT_EQ(handle, kNoFile);
}

}  // namespace
}  // namespace merel::dbus
