// Loading and saving the settings file through the file seam: results, the handle's life in
// m_fileIni, and what a failure leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/narrow.h"
#include "fakes.h"
#include "settings/settings_io.h"

namespace merel {
namespace {

using test::kCom1Defaults;

namespace fs = std::filesystem;

const std::u16string kPath = u"C:\\Merel\\SMSMgr.ini";

// A record unlike both the defaults and the file above, so that any change by a load shows.
const SettingsRecord kChanged{u"old", 1, 8, 0, 0, 1, 0, 1};

// Notes which handle m_fileIni held while the file was read or written.
class WatchedFiles : public test::FakeSettingsFiles {
  public:
    FileHandle* member = nullptr;
    FileHandle seenWhileReading = kNoFile, seenWhileWriting = kNoFile;
    bool throwOnRead = false;

    std::u16string ReadText(FileHandle file, std::uint64_t limit) override {
        seenWhileReading = *member;
        EXPECT_EQ(file, *member);
        if (throwOnRead) throw std::bad_alloc();
        return FakeSettingsFiles::ReadText(file, limit);
    }
    std::int32_t WriteAll(FileHandle file, std::string_view bytes) override {
        // The new content goes elsewhere while the settings file itself is held.
        seenWhileWriting = *member;
        EXPECT_NE(file, *member);
        return FakeSettingsFiles::WriteAll(file, bytes);
    }
};

class SettingsIo : public ::testing::Test {
  protected:
    SettingsIo() { files.member = &fileIni; }

    // Every call starts with a stale last error, which it must clear, and must leave the file
    // closed.
    HRESULT Load(SettingsRecord& record) {
        lastError = 1234;
        const HRESULT result = LoadIniFile(access, kPath, record);
        ExpectClosed();
        return result;
    }
    HRESULT Save(const SettingsRecord& record) {
        lastError = 1234;
        const HRESULT result = SaveIniFile(access, kPath, record);
        ExpectClosed();
        return result;
    }
    void ExpectClosed() {
        EXPECT_EQ(fileIni, kNoFile);
        EXPECT_FALSE(files.AnyOpen());
        EXPECT_EQ(lastError, 0);
    }

    WatchedFiles files;
    FileHandle fileIni = kNoFile;
    std::int32_t lastError = 0;
    Failure failure;
    SettingsFileAccess access{files, fileIni, lastError, failure};
};

TEST_F(SettingsIo, LoadThatOpensNothingOrReadsNothingChangesNothing) {
    struct Case {
        std::optional<std::string> content;  // none: no such file
        std::int32_t openError;
        std::uint32_t result;
    };
    for (const Case& c : {Case{{}, 0, 0x80070002u}, Case{kCom1Defaults, 3, 0x80070003u},
                          Case{kCom1Defaults, 5, 0x80070005u}, Case{kCom1Defaults, 32, 0x80070020u},
                          Case{"", 0, 0}}) {
        SCOPED_TRACE(c.result);
        files.files.clear();
        if (c.content) files.files[kPath] = *c.content;
        files.failOpenRead = c.openError;
        SettingsRecord record = kChanged;
        EXPECT_EQ(Load(record), static_cast<HRESULT>(c.result));
        EXPECT_EQ(record, kChanged);
        EXPECT_EQ(files.files.size(), c.content ? 1u : 0u);  // nothing created
    }
}

TEST_F(SettingsIo, LoadClosesTheFileWhenReadingThrows) {
    files.files[kPath] = kCom1Defaults;
    files.throwOnRead = true;
    SettingsRecord record = kChanged;
    EXPECT_THROW(LoadIniFile(access, kPath, record), std::bad_alloc);
    EXPECT_EQ(record, kChanged);
    EXPECT_EQ(fileIni, kNoFile);
    EXPECT_FALSE(files.AnyOpen());
}

TEST_F(SettingsIo, RecordsThatCannotBeWrittenAreRefusedBeforeAnyFileIsTouched) {
    files.files[kPath] = "old content";
    for (const std::u16string& port : {std::u16string(786, u'P'), std::u16string(u"COM\u01001"),
                                       std::u16string(u"COM1\r\nSMSCharacterSet:1")}) {
        EXPECT_EQ(Save(SettingsRecord{port}), kE_INVALIDARG);
    }
    EXPECT_EQ(files.openCount, 0);
    EXPECT_EQ(files.files, (std::map<std::u16string, std::string>{{kPath, "old content"}}));
}

TEST_F(SettingsIo, FailedSaveLeavesTheFileAsItWasAndNothingBesideIt) {
    struct Case {
        std::int32_t test::FakeSettingsFiles::*step;
        std::int32_t error;
        std::uint32_t result;
    };
    using Fake = test::FakeSettingsFiles;
    // The file held, read-only, in a missing folder; the new file not creatable, not
    // writable (a full disk), not movable.
    for (const Case& c :
         {Case{&Fake::failOpenWrite, 32, 0x80070020u}, Case{&Fake::failOpenWrite, 5, 0x80070005u},
          Case{&Fake::failOpenWrite, 3, 0x80070003u}, Case{&Fake::failCreate, 5, 0x80070005u},
          Case{&Fake::failWrite, 112, 0x80070070u}, Case{&Fake::failReplace, 5, 0x80070005u}}) {
        SCOPED_TRACE(c.result);
        for (const bool existed : {true, false}) {
            files.files.clear();
            if (existed) files.files[kPath] = "old content";
            const auto before = files.files;
            files.*c.step = c.error;
            EXPECT_EQ(Save(SettingsRecord{u"COM1"}), static_cast<HRESULT>(c.result));
            EXPECT_EQ(files.files, before);
            files.*c.step = 0;
        }
    }
}

TEST_F(SettingsIo, SaveCreatesTheFileWithExactlyTheTextAndLoadReadsItBack) {
    // Each file is held only during the call that reads or writes it.
    EXPECT_EQ(Save(SettingsRecord{u"COM1"}), kS_OK);
    EXPECT_EQ(files.files, (std::map<std::u16string, std::string>{{kPath, kCom1Defaults}}));
    SettingsRecord loaded = kChanged;
    EXPECT_EQ(Load(loaded), kS_OK);
    EXPECT_EQ(loaded, SettingsRecord{u"COM1"});
    EXPECT_NE(files.seenWhileReading, kNoFile);

    const SettingsRecord unusual{u" COM 2 ", 115200, 16, -1, 2, 0, 1, 1};
    ASSERT_EQ(Save(unusual), kS_OK);
    loaded = kChanged;
    ASSERT_EQ(Load(loaded), kS_OK);
    EXPECT_EQ(loaded, unusual);
}

// The same on real files in a private folder, through the platform's own backend.
class SettingsIoOnDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("merel-settings-io-" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directory(dir_));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::u16string Path(const fs::path& name = "SMSMgr.ini") const {
        return (dir_ / name).u16string();
    }
    void Put(const std::string& bytes) const {
        std::ofstream(dir_ / "SMSMgr.ini", std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string Get() const {
        std::ifstream in(dir_ / "SMSMgr.ini", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    HRESULT Save(const std::u16string& path, const SettingsRecord& record) {
        return SaveIniFile(access_, path, record);
    }
    HRESULT Load(SettingsRecord& record) { return LoadIniFile(access_, Path(), record); }

    fs::path dir_;
    FileHandle fileIni_ = kNoFile;
    std::int32_t lastError_ = 0;
    Failure failure_;
    const SettingsFileAccess access_{SystemSettingsFileSystem(), fileIni_, lastError_, failure_};
};

TEST_F(SettingsIoOnDisk, SaveReplacesTheWholeFileAndLeavesNothingBesideIt) {
    // None first, then a longer file in PDU mode: none of its tail may survive.
    const SettingsRecord pdu{u"COM-" + std::u16string(300, u'x'), 9600, 8, 0, 0, 1, 0, 1};
    for (const bool existed : {false, true}) {
        SCOPED_TRACE(existed);
        if (existed) {
            ASSERT_EQ(Save(Path(), pdu), kS_OK);
        }
        ASSERT_EQ(Save(Path(), SettingsRecord{u"COM1"}), kS_OK);
        EXPECT_EQ(Get(), kCom1Defaults);
        EXPECT_EQ(Listing(), std::vector<std::string>{"SMSMgr.ini"});
        SettingsRecord loaded = pdu;
        ASSERT_EQ(Load(loaded), kS_OK);
        EXPECT_EQ(loaded, SettingsRecord{u"COM1"});
        EXPECT_EQ(fileIni_, kNoFile);
    }
}

TEST_F(SettingsIoOnDisk, SaveThatCannotPrepareTheNewFileChangesNothing) {
    Put("old content");
    // Something that is not ours stands where the new file would go.
    fs::create_directory(dir_ / "SMSMgr.ini.new");
    EXPECT_EQ(Save(Path(), {u"COM1"}), static_cast<HRESULT>(0x80070005u));
    EXPECT_EQ(Get(), "old content");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"SMSMgr.ini", "SMSMgr.ini.new"}));
    EXPECT_TRUE(fs::is_directory(dir_ / "SMSMgr.ini.new"));

    EXPECT_EQ(Save(Path(fs::path("no-folder") / "SMSMgr.ini"), {u"COM1"}),
              static_cast<HRESULT>(0x80070003u));
    EXPECT_FALSE(fs::exists(dir_ / "no-folder"));
}

TEST_F(SettingsIoOnDisk, AFolderInTheFilesPlaceIsNamedAsOneAndStaysAsItWas) {
    fs::create_directory(dir_ / "SMSMgr.ini");
    const std::string name = "settings file " + Utf16ToUtf8(Path());
    EXPECT_EQ(Save(Path(), {u"COM1"}), hresult::kAccessDenied);
    EXPECT_EQ(failure_.Text(), name + " could not be written: it is a folder, not a file");
    SettingsRecord record = kChanged;
    EXPECT_EQ(Load(record), hresult::kAccessDenied);
    EXPECT_EQ(failure_.Text(), name + " cannot be read: it is a folder, not a file");
    EXPECT_EQ(record, kChanged);
    EXPECT_EQ(Listing(), std::vector<std::string>{"SMSMgr.ini"});
    EXPECT_TRUE(fs::is_directory(dir_ / "SMSMgr.ini") && fs::is_empty(dir_ / "SMSMgr.ini"));
}

TEST_F(SettingsIoOnDisk, LoadRefusesFilesOver64KiBWithoutReadingThem) {
    const std::string tail = "SMSCharacterSet:1\r\n";
    const HRESULT tooLarge = static_cast<HRESULT>(0x800700DFu);
    struct Case {
        std::uintmax_t size;
        HRESULT result;
    };
    for (const Case& c : {Case{65536, kS_OK}, Case{65537, tooLarge}, Case{100u << 20, tooLarge}}) {
        SCOPED_TRACE(c.size);
        // The one setting stands at the very end, behind a hole that costs no disk space.
        Put(std::string(65536 - tail.size() - 2, '#') + "\r\n");
        // Written past the end rather than resized: mingw's truncate checks the free disk space
        // first, and under Wine it has refused the size that way.
        std::fstream file(dir_ / "SMSMgr.ini", std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(static_cast<std::streamoff>(c.size - tail.size()));
        file << tail;
        file.close();
        ASSERT_EQ(fs::file_size(dir_ / "SMSMgr.ini"), c.size);
        SettingsRecord record = kChanged;
        EXPECT_EQ(Load(record), c.result);
        EXPECT_EQ(record.characterSet, c.result == kS_OK ? 1 : kChanged.characterSet);
        EXPECT_EQ(fileIni_, kNoFile);
    }
}

}  // namespace
}  // namespace merel
