// Loading and saving the settings file through the file seam: results, the handle's life in
// m_fileIni, and what a failure leaves behind.
#include <gtest/gtest.h>

#include <map>
#include <new>
#include <optional>
#include <string>

#include "base/narrow.h"
#include "fakes.h"
#include "settings/settings_io.h"

namespace merel {
namespace {

const std::u16string kPath = u"C:\\Merel\\SMSMgr.ini";

const std::string kCom1Defaults =
    "Port:COM1\r\n"
    "Baudrate:460800\r\n"
    "DataBits:8\r\n"
    "Parity:0(0=None,1=Odd,2=Even)\r\n"
    "StopBits:0(0=1,1=1.5,2=2)\r\n"
    "Handshaking:1(0=Off,1=Hardware,2=Software)\r\n"
    "ReadTimeout:0(0=Nonblocking,1=Blockinging)\r\n"
    "SMSCharacterSet:0(0=PCCP437(default),1=UCS2(PDU mode))\r\n";

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
    SettingsFileAccess access{files, fileIni, lastError};
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
    for (const std::u16string& port :
         {std::u16string(786, u'P'), std::u16string(u"COM\u01001"), std::u16string(u"COM1\r"),
          std::u16string(u"COM1\nBaudrate:1"), std::u16string(u"COM1\r\nSMSCharacterSet:1"),
          std::u16string(u"COM\u010D1")}) {
        SCOPED_TRACE(Utf16ToUtf8(port));
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
    // The settings file held by another process, not writable, in a missing folder; the new
    // file not creatable (an unwritable folder), not writable (a full disk), not movable.
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

TEST_F(SettingsIo, SaveReplacesALongerFileWhole) {
    // A longer file with PDU mode: none of its tail may survive behind the new text.
    const SettingsRecord old{u"COM-" + std::u16string(300, u'x'), 9600, 8, 0, 0, 1, 0, 1};
    ASSERT_EQ(Save(old), kS_OK);
    files.seenWhileWriting = kNoFile;
    ASSERT_EQ(Save(SettingsRecord{u"COM1"}), kS_OK);
    // The old file was held while its successor was written.
    EXPECT_NE(files.seenWhileWriting, kNoFile);
    EXPECT_EQ(files.files, (std::map<std::u16string, std::string>{{kPath, kCom1Defaults}}));
}

}  // namespace
}  // namespace merel
