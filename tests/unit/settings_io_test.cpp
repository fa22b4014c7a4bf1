// Loading and saving the settings file through the file seam: results, the handle's life in
// m_fileIni, and what a failure leaves behind.
#include <gtest/gtest.h>

#include <new>
#include <string>

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

// Notes which handle m_fileIni held while the file was read or written.
class WatchedFiles : public test::FakeSettingsFiles {
  public:
    FileHandle* member = nullptr;
    FileHandle seenWhileReading = kNoFile, seenWhileWriting = kNoFile;
    bool throwOnRead = false;

    std::u16string ReadText(FileHandle file) override {
        seenWhileReading = *member;
        EXPECT_EQ(file, *member);
        if (throwOnRead) throw std::bad_alloc();
        return FakeSettingsFiles::ReadText(file);
    }
    std::int32_t WriteAll(FileHandle file, std::string_view bytes) override {
        seenWhileWriting = *member;
        EXPECT_EQ(file, *member);
        return FakeSettingsFiles::WriteAll(file, bytes);
    }
};

class SettingsIo : public ::testing::Test {
  protected:
    SettingsIo() { files.member = &fileIni; }

    // Every call starts with a stale last error, which it must clear.
    HRESULT Load(SettingsRecord& record) {
        lastError = 1234;
        return LoadIniFile(access, kPath, record);
    }
    HRESULT Save(const SettingsRecord& record) {
        lastError = 1234;
        return SaveIniFile(access, kPath, record);
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

SettingsRecord Changed() {
    SettingsRecord r;
    r.port = u"old";
    r.baudrate = 1;
    r.characterSet = 1;
    return r;
}

TEST_F(SettingsIo, LoadAppliesTheFileAndHoldsItOnlyDuringTheCall) {
    files.files[kPath] = kCom1Defaults;
    SettingsRecord record = Changed();
    EXPECT_EQ(Load(record), kS_OK);
    SettingsRecord expected;
    expected.port = u"COM1";
    EXPECT_EQ(record, expected);
    EXPECT_NE(files.seenWhileReading, kNoFile);
    ExpectClosed();
}

TEST_F(SettingsIo, LoadOfAnEmptyFileSucceedsAndChangesNothing) {
    files.files[kPath] = "";
    SettingsRecord record = Changed();
    EXPECT_EQ(Load(record), kS_OK);
    EXPECT_EQ(record, Changed());
    ExpectClosed();
}

TEST_F(SettingsIo, LoadOfAMissingFileFailsAndCreatesNothing) {
    SettingsRecord record = Changed();
    EXPECT_EQ(Load(record), static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(record, Changed());
    EXPECT_TRUE(files.files.empty());
    ExpectClosed();
}

TEST_F(SettingsIo, LoadFoldsTheOpenError) {
    files.files[kPath] = kCom1Defaults;
    for (const auto& [error, expected] :
         {std::pair{3, 0x80070003u}, std::pair{5, 0x80070005u}, std::pair{32, 0x80070020u}}) {
        files.failOpenRead = error;
        SettingsRecord record = Changed();
        EXPECT_EQ(Load(record), static_cast<HRESULT>(expected));
        EXPECT_EQ(record, Changed());
        ExpectClosed();
    }
}

TEST_F(SettingsIo, LoadClosesTheFileWhenReadingThrows) {
    files.files[kPath] = kCom1Defaults;
    files.throwOnRead = true;
    SettingsRecord record = Changed();
    EXPECT_THROW(Load(record), std::bad_alloc);
    EXPECT_EQ(record, Changed());
    EXPECT_EQ(fileIni, kNoFile);
    EXPECT_FALSE(files.AnyOpen());
}

TEST_F(SettingsIo, SaveCreatesTheFileWithExactlyTheText) {
    SettingsRecord record;
    record.port = u"COM1";
    EXPECT_EQ(Save(record), kS_OK);
    EXPECT_EQ(files.files.at(kPath), kCom1Defaults);
    EXPECT_NE(files.seenWhileWriting, kNoFile);
    ExpectClosed();

    EXPECT_EQ(Save(SettingsRecord{}), kS_OK);
    EXPECT_EQ(files.files.at(kPath).size(), 238u);
    ExpectClosed();
}

TEST_F(SettingsIo, SaveRefusesUnwritableRecordsBeforeOpening) {
    SettingsRecord tooLong;
    tooLong.port.assign(786, u'P');
    SettingsRecord zeroLowByte;
    zeroLowByte.port = u"COM\u01001";
    for (const auto& record : {tooLong, zeroLowByte}) {
        files.files[kPath] = "old content";
        const int opens = files.openCount;
        EXPECT_EQ(Save(record), kE_INVALIDARG);
        EXPECT_EQ(files.files.at(kPath), "old content");
        EXPECT_EQ(files.openCount, opens);
        ExpectClosed();
    }
    files.files.clear();
    EXPECT_EQ(Save(tooLong), kE_INVALIDARG);
    EXPECT_TRUE(files.files.empty());
}

TEST_F(SettingsIo, SaveFoldsOpenAndWriteErrorsAndClosesTheFile) {
    files.files[kPath] = "old content";
    files.failOpenWrite = 5;
    EXPECT_EQ(Save(SettingsRecord{}), static_cast<HRESULT>(0x80070005u));
    EXPECT_EQ(files.files.at(kPath), "old content");
    ExpectClosed();

    files.failOpenWrite = 0;
    files.failWrite = 112;
    EXPECT_EQ(Save(SettingsRecord{}), static_cast<HRESULT>(0x80070070u));
    EXPECT_NE(files.seenWhileWriting, kNoFile);
    ExpectClosed();
}

TEST_F(SettingsIo, SavedRecordsLoadBackUnchanged) {
    SettingsRecord a;
    a.port = u" COM 2 ";
    a.baudrate = 115200;
    a.dataBits = 16;
    a.parity = -1;
    a.stopBits = 2;
    a.handshake = 0;
    a.readTimeout = 1;
    a.characterSet = 1;
    SettingsRecord b = a;
    b.port = u"";
    b.dataBits = -1;
    b.baudrate = -300;
    for (const auto& record : {a, b}) {
        ASSERT_EQ(Save(record), kS_OK);
        SettingsRecord loaded = Changed();
        ASSERT_EQ(Load(loaded), kS_OK);
        EXPECT_EQ(loaded, record);
        ExpectClosed();
    }
}

}  // namespace
}  // namespace merel
