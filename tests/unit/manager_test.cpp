// The manager object as a whole, through the fakes: defaults, the Init outcomes, settings
// round trips through the file, dispatch by character set and teardown.
#include <gtest/gtest.h>

#include <memory>

#include "fakes.h"
#include "manager/sms_mgr.h"

namespace merel::test {
namespace {

struct Status {
    int ini, log, open, init;
    bool operator==(const Status&) const = default;
};

void PrintTo(const Status& s, std::ostream* os) {
    *os << s.ini << "," << s.log << "," << s.open << "," << s.init;
}

class ManagerTest : public ::testing::Test {
  protected:
    FakeWorld world;
    std::unique_ptr<CSMSMgr> mgr = std::make_unique<CSMSMgr>(world.Services());

    Status GetStatus() {
        std::int8_t a = 9, b = 9, c = 9, d = 9;
        EXPECT_EQ(kS_OK, mgr->GetSMSManagerStatus(a, b, c, d));
        return {a, b, c, d};
    }
    void WriteIni(const std::string& text) { world.files.files[world.IniPath()] = text; }
    // Init on COM1, with the ESC it writes after opening forgotten, writes counted afresh.
    void InitCom1() {
        WriteIni(Ini("COM1"));
        ASSERT_EQ(kS_OK, mgr->Init());
        world.log.writes.clear();
        world.device.writeCount = 0;
    }
    static std::string Ini(const std::string& port, const std::string& baud = "460800",
                           char charset = '0') {
        return "Port:" + port + "\r\nBaudrate:" + baud +
               "\r\nDataBits:8\r\nParity:0(0=None,1=Odd,2=Even)\r\n"
               "SMSCharacterSet:" +
               std::string(1, charset) + "(0=PCCP437(default),1=UCS2(PDU mode))\r\n";
    }
};

TEST_F(ManagerTest, StartsWithDefaultsAndTouchesNothing) {
    EXPECT_EQ((Status{0, 0, 0, 0}), GetStatus());
    std::u16string port = u"untouched";
    std::int32_t baud = 0;
    std::int16_t bits = 0, parity = 9, stop = 9, hs = 9, rt = 9, cs = 9;
    EXPECT_EQ(kS_OK, mgr->GetSettings(port, baud, bits, parity, stop, hs, rt, cs));
    EXPECT_EQ(u"", port);
    EXPECT_EQ(460800, baud);
    EXPECT_EQ((std::vector<int>{8, 0, 0, 1, 0, 0}),
              (std::vector<int>{bits, parity, stop, hs, rt, cs}));
    EXPECT_EQ(kInvalidPort, mgr->m_hPort);
    EXPECT_EQ(0, mgr->m_dwLastError);
    EXPECT_EQ(u"", mgr->m_strIniPath);
    EXPECT_TRUE(world.log.events.empty());
    EXPECT_EQ(0, world.files.openCount);
}

TEST_F(ManagerTest, InitWithoutSettingsFileFailsAndSendIsRefused) {
    EXPECT_EQ(static_cast<HRESULT>(0x80070002u), mgr->Init());
    EXPECT_EQ(world.IniPath(), mgr->m_strIniPath);
    EXPECT_EQ((Status{0, 0, 0, 0}), GetStatus());
    EXPECT_EQ(kE_FAIL, mgr->SendMessage(u"123", u"hi"));
    EXPECT_TRUE(world.log.writes.empty());
}

TEST_F(ManagerTest, InitWithMissingPortReadsSettingsThenFailsAtOpen) {
    WriteIni(Ini("COM9"));
    EXPECT_EQ(static_cast<HRESULT>(0x80070002u), mgr->Init());
    EXPECT_EQ((Status{1, 0, 0, 0}), GetStatus());
    EXPECT_EQ(2, mgr->m_dwLastError);
    // The guard lets the send through; the port layer then has no port to write to.
    EXPECT_EQ(kE_HANDLE, mgr->SendMessage(u"123", u"hi"));
    EXPECT_TRUE(world.log.writes.empty());
}

TEST_F(ManagerTest, InitWhoseConfigurationFailsLeavesPortOpenButNotConfigured) {
    WriteIni(Ini("COM1"));
    world.device.failSetState = 31;
    EXPECT_EQ(static_cast<HRESULT>(0x8007001Fu), mgr->Init());
    EXPECT_EQ((Status{1, 0, 1, 0}), GetStatus());
    EXPECT_NE(kInvalidPort, mgr->m_hPort);
}

TEST_F(ManagerTest, InitOpensAndConfiguresWithFixedLineSettings) {
    // Stored line settings other than the baud rate never reach the port.
    WriteIni(
        "Port:COM1\r\nBaudrate:9600\r\nDataBits:7\r\nParity:2\r\nStopBits:2\r\n"
        "Handshaking:0\r\nReadTimeout:1\r\n");
    ASSERT_EQ(kS_OK, mgr->Init());
    EXPECT_EQ((Status{1, 0, 1, 1}), GetStatus());
    const CommState& s = world.device.state;
    EXPECT_EQ(9600u, s.BaudRate);
    EXPECT_EQ(8, s.ByteSize);
    EXPECT_EQ(0, s.Parity);
    EXPECT_EQ(0, s.StopBits);
    EXPECT_EQ(1u, s.fOutxCtsFlow);
    EXPECT_EQ(kRtsControlHandshake, s.fRtsControl);
    EXPECT_EQ(kMaxDword, world.device.timeouts.ReadIntervalTimeout);
    EXPECT_EQ(7, mgr->m_shDataBits);
    EXPECT_EQ(2, mgr->m_shParity);
}

TEST_F(ManagerTest, InitAndTestPortCancelWhatTheModemMayHoldOpenOnceAfterEachOpen) {
    const std::vector<std::string> configuredThenEsc = {
        "get-state", "set-state", "get-timeouts", "set-timeouts", "write \x1B", "pause 1000"};
    const auto tail = [this](std::size_t n) {
        return std::vector<std::string>(world.log.events.end() - static_cast<std::ptrdiff_t>(n),
                                        world.log.events.end());
    };
    WriteIni(Ini("COM1"));
    ASSERT_EQ(kS_OK, mgr->Init());
    EXPECT_EQ(configuredThenEsc, tail(6));
    // The port already open owes nothing: a second Init writes nothing.
    world.log.events.clear();
    ASSERT_EQ(kS_OK, mgr->Init());
    EXPECT_EQ(world.device.writeCount, 1);
    ASSERT_EQ(kS_OK, mgr->TestPort());
    EXPECT_EQ(configuredThenEsc, tail(6));

    // A stopped line does not take the ESC: the call succeeds without a word, and the next
    // send, once the line moves, cancels before it writes its own commands.
    for (bool test : {false, true}) {
        SCOPED_TRACE(test);
        ASSERT_EQ(kS_OK, mgr->ClosePort());
        world.device.shortWrite = 0;
        EXPECT_EQ(kS_OK, test ? mgr->TestPort() : mgr->Init());
        EXPECT_EQ((Status{1, 0, 1, 1}), GetStatus());
        EXPECT_TRUE(mgr->m_lastFailure.Empty()) << mgr->m_lastFailure.Text();
        EXPECT_EQ(world.log.events.back(), "write ");
        world.device.shortWrite.reset();
        world.log.events.clear();
        ASSERT_EQ(kS_OK, mgr->SendMessage(u"1", u"x"));
        EXPECT_EQ(world.log.events.front(), "write \x1B");
        EXPECT_EQ(world.log.events.size(), 12u);
    }
}

TEST_F(ManagerTest, SecondInitWithTheSamePortKeepsItOpenAndAppliesTheNewBaudrate) {
    WriteIni(Ini("COM1"));
    ASSERT_EQ(kS_OK, mgr->Init());
    const PortHandle first = mgr->m_hPort;
    WriteIni(Ini("COM1", "115200"));
    EXPECT_EQ(kS_OK, mgr->Init());
    EXPECT_EQ(first, mgr->m_hPort);
    EXPECT_EQ(1, world.device.openCount);
    EXPECT_EQ(0, world.device.closeCount);
    EXPECT_EQ(115200u, world.device.state.BaudRate);
}

TEST_F(ManagerTest, InitAfterTheSettingsNameAnotherPortSendsOnTheNewOne) {
    world.device.existing.push_back(u"COM2");
    WriteIni(Ini("COM1"));
    ASSERT_EQ(kS_OK, mgr->Init());
    ASSERT_EQ(kS_OK, mgr->SendMessage(u"1", u"on one"));

    // Through SetSettings, as a client does, and through the file, as an editor does.
    ASSERT_EQ(kS_OK, mgr->SetSettings(u"COM2", 9600, 8, 0, 0, 1, 0, 0));
    EXPECT_EQ(kS_OK, mgr->Init());
    EXPECT_EQ((Status{1, 0, 1, 1}), GetStatus());
    EXPECT_EQ(std::vector<PortHandle>{mgr->m_hPort}, world.device.openHandles);
    ASSERT_EQ(kS_OK, mgr->SendMessage(u"2", u"on two"));
    WriteIni(Ini("COM1"));
    EXPECT_EQ(kS_OK, mgr->Init());
    ASSERT_EQ(kS_OK, mgr->SendMessage(u"3", u"on one again"));

    // Each open's ESC, then the five commands of the send.
    const std::vector<std::u16string> sends = {u"COM1", u"COM2", u"COM1"};
    ASSERT_EQ(18u, world.device.writtenPorts.size());
    for (std::size_t i = 0; i < 18; ++i) EXPECT_EQ(sends[i / 6], world.device.writtenPorts[i]);
    EXPECT_EQ(1u, world.device.openHandles.size());
}

TEST_F(ManagerTest, InitToAPortThatCannotBeOpenedLeavesNoneOpen) {
    InitCom1();
    WriteIni(Ini("COM9"));
    EXPECT_EQ(static_cast<HRESULT>(0x80070002u), mgr->Init());
    EXPECT_EQ((Status{1, 0, 0, 0}), GetStatus());
    EXPECT_TRUE(world.device.openHandles.empty());
    // Nothing meant for COM9 goes out on COM1.
    EXPECT_EQ(kE_HANDLE, mgr->SendMessage(u"123", u"hi"));
    EXPECT_TRUE(world.log.writes.empty());
}

TEST_F(ManagerTest, InitThatCannotCloseTheOldPortSaysSoAndOpensNothing) {
    world.device.existing.push_back(u"COM2");
    WriteIni(Ini("COM1"));
    ASSERT_EQ(kS_OK, mgr->Init());
    WriteIni(Ini("COM2"));
    world.device.failClose = 5;
    EXPECT_EQ(static_cast<HRESULT>(0x80070005u), mgr->Init());
    EXPECT_EQ("cannot close port COM1 to open port COM2", mgr->m_lastFailure.Text());
    EXPECT_EQ(1, world.device.openCount);
}

TEST_F(ManagerTest, AModemThatIsGoneIsClosedAndTheNextInitOpensItAgain) {
    InitCom1();
    world.device.failWrite = 1117;
    world.device.failWriteNumber = 3;
    EXPECT_EQ(static_cast<HRESULT>(0x8007045Du), mgr->SendMessage(u"123", u"Hi"));
    EXPECT_EQ(
        "cannot write to port COM1: I/O device error; the device is gone, so the port is "
        "closed: call Init or TestPort",
        mgr->m_lastFailure.Text());
    EXPECT_EQ((Status{1, 0, 0, 0}), GetStatus());
    EXPECT_TRUE(world.device.openHandles.empty());

    // Until the next Init a send writes nothing and says why.
    EXPECT_EQ(kE_HANDLE, mgr->SendMessage(u"123", u"Hi"));
    EXPECT_EQ(
        "no port is open: port COM1 was closed when its device went away (0x8007045D: I/O "
        "device error): call Init or TestPort",
        mgr->m_lastFailure.Text());
    EXPECT_EQ(2u, world.log.writes.size());

    world.device.failWrite = 0;
    EXPECT_EQ(kS_OK, mgr->Init());
    EXPECT_EQ((Status{1, 0, 1, 1}), GetStatus());
    EXPECT_EQ(kS_OK, mgr->SendMessage(u"123", u"Hi"));
    EXPECT_EQ(8u, world.log.writes.size());  // the new open's ESC, then the five commands
    EXPECT_EQ(2, world.device.openCount);
}

TEST_F(ManagerTest, InitAfterTheModemWasPulledOutAndPutBackOpensItAfresh) {
    WriteIni(Ini("COM1"));
    ASSERT_EQ(kS_OK, mgr->Init());
    // Nothing was sent while it was gone, so the kept handle is found dead only now.
    world.device.gone.insert(world.device.openHandles.front());
    EXPECT_EQ(kS_OK, mgr->Init());
    EXPECT_EQ((Status{1, 0, 1, 1}), GetStatus());
    EXPECT_EQ(2, world.device.openCount);
    EXPECT_EQ(1u, world.device.openHandles.size());
    EXPECT_EQ(kS_OK, mgr->SendMessage(u"123", u"Hi"));
}

TEST_F(ManagerTest, EmptySettingsFileCountsAsReadAndFailsAtTheEmptyPortName) {
    WriteIni("");
    EXPECT_EQ(static_cast<HRESULT>(0x80070002u), mgr->Init());
    EXPECT_EQ((Status{1, 0, 0, 0}), GetStatus());
}

TEST_F(ManagerTest, LaterInitFailingEarlierOnlyKeepsTheFlagsItHad) {
    WriteIni(Ini("COM1"));
    ASSERT_EQ(kS_OK, mgr->Init());
    world.files.files.clear();
    EXPECT_EQ(static_cast<HRESULT>(0x80070002u), mgr->Init());
    EXPECT_EQ((Status{1, 0, 1, 1}), GetStatus());
}

TEST_F(ManagerTest, InitBuildsThePathFromTheExecutableFolder) {
    world.files.files[u"SMSMgr.ini"] = Ini("COM1");
    auto bare = world.Services();
    bare.executablePath = [] { return std::u16string(u"MerelSMSManager.exe"); };
    CSMSMgr other(bare);
    EXPECT_EQ(kS_OK, other.Init());
    EXPECT_EQ(u"SMSMgr.ini", other.m_strIniPath);
}

TEST_F(ManagerTest, AGivenSettingsFolderReplacesTheExecutableFolder) {
    const std::u16string sep(1, kPathSeparator);
    // With or without its closing separator the folder gives the same path.
    for (const std::u16string& folder : {u"cfg" + sep + u"m", u"cfg" + sep + u"m" + sep}) {
        SCOPED_TRACE(std::string(folder.begin(), folder.end()));
        world.files.files.clear();
        CSMSMgr other(world.Services());
        other.m_strSettingsFolder = folder;
        ASSERT_EQ(static_cast<HRESULT>(0x80070002u), other.Init());
        EXPECT_EQ(u"cfg" + sep + u"m" + sep + u"SMSMgr.ini", other.m_strIniPath);
        ASSERT_EQ(kS_OK, other.SetSettings(u"COM1", 9600, 8, 0, 0, 1, 0, 0));
        EXPECT_EQ(1u, world.files.files.count(other.m_strIniPath));
        EXPECT_EQ(0u, world.files.files.count(world.IniPath()));
    }
}

TEST_F(ManagerTest, SetSettingsBeforeInitKeepsValuesButCannotSave) {
    EXPECT_EQ(kE_FAIL, mgr->SetSettings(u"COM3", 9600, 7, 2, 1, 0, 1, 1));
    std::u16string port;
    std::int32_t baud = 0;
    std::int16_t v[6] = {};
    ASSERT_EQ(kS_OK, mgr->GetSettings(port, baud, v[0], v[1], v[2], v[3], v[4], v[5]));
    EXPECT_EQ(u"COM3", port);
    EXPECT_EQ(9600, baud);
    EXPECT_EQ((std::vector<int>{7, 2, 1, 0, 1, 1}),
              (std::vector<int>{v[0], v[1], v[2], v[3], v[4], v[5]}));
    EXPECT_TRUE(world.files.files.empty());
    EXPECT_EQ((Status{0, 0, 0, 0}), GetStatus());
}

TEST_F(ManagerTest, SettingsRoundTripThroughTheFile) {
    // After a failed Init the path is known, so SetSettings creates the file there.
    ASSERT_EQ(static_cast<HRESULT>(0x80070002u), mgr->Init());
    ASSERT_EQ(kS_OK, mgr->SetSettings(u" COM1 ", 115200, 16, 2, -1, 3, 1, 1));
    ASSERT_TRUE(world.files.files.count(world.IniPath()));

    CSMSMgr fresh(world.Services());
    world.device.existing.push_back(u" COM1 ");
    EXPECT_EQ(kS_OK, fresh.Init());
    std::u16string port;
    std::int32_t baud = 0;
    std::int16_t v[6] = {};
    ASSERT_EQ(kS_OK, fresh.GetSettings(port, baud, v[0], v[1], v[2], v[3], v[4], v[5]));
    EXPECT_EQ(u" COM1 ", port);
    EXPECT_EQ(115200, baud);
    EXPECT_EQ((std::vector<int>{16, 2, -1, 3, 1, 1}),
              (std::vector<int>{v[0], v[1], v[2], v[3], v[4], v[5]}));
}

TEST_F(ManagerTest, SetSettingsTakesThePortNameUpToItsFirstNul) {
    ASSERT_EQ(static_cast<HRESULT>(0x80070002u), mgr->Init());
    EXPECT_EQ(kS_OK, mgr->SetSettings(std::u16string_view(u"COM1\0junk", 9), 1, 2, 3, 4, 5, 6, 0));
    EXPECT_EQ(u"COM1", mgr->m_strPort);
}

TEST_F(ManagerTest, GetSettingsReturnsTheLow16BitsOfTheCodes) {
    mgr->m_shDataBits = 0x12345;
    std::u16string port;
    std::int32_t baud = 0;
    std::int16_t v[6] = {};
    ASSERT_EQ(kS_OK, mgr->GetSettings(port, baud, v[0], v[1], v[2], v[3], v[4], v[5]));
    EXPECT_EQ(0x2345, v[0]);
}

TEST_F(ManagerTest, SendMessageDispatchesByCharacterSet) {
    InitCom1();

    EXPECT_EQ(kS_OK, mgr->SendMessage(u"123", u"Hi"));
    ASSERT_EQ(5u, world.log.writes.size());
    EXPECT_EQ("AT+CMGF=1\n\r", world.log.writes[1]);

    world.log.writes.clear();
    ASSERT_EQ(kS_OK, mgr->SetSettings(u"COM1", 460800, 8, 0, 0, 1, 0, 1));
    EXPECT_EQ(kS_OK, mgr->SendMessage(u"123", u"Hi"));
    ASSERT_EQ(6u, world.log.writes.size());
    EXPECT_EQ("AT+CMGF=0\n\r", world.log.writes[2]);

    // An unknown character set sends nothing and says so.
    world.log.writes.clear();
    ASSERT_EQ(kS_OK, mgr->SetSettings(u"COM1", 460800, 8, 0, 0, 1, 0, 2));
    EXPECT_EQ(kE_INVALIDARG, mgr->SendMessage(u"123", u"Hi"));
    EXPECT_TRUE(world.log.writes.empty());
}

TEST_F(ManagerTest, SendMessagePassesTheFirstFailingWriteOn) {
    InitCom1();
    world.device.failWrite = 1117;
    world.device.failWriteNumber = 2;
    EXPECT_EQ(static_cast<HRESULT>(0x8007045Du), mgr->SendMessage(u"123", u"Hi"));
    EXPECT_EQ(1u, world.log.writes.size());
}

TEST_F(ManagerTest, PortListComesFromTheEnumerator) {
    world.ports.devices = std::vector<std::optional<std::u16string>>{u"Modem (COM3)", std::nullopt,
                                                                     u"Printer Port (LPT1)"};
    std::uint32_t count = 99;
    std::vector<std::u16string> names;
    EXPECT_EQ(kS_OK, mgr->GetDetectedCOMPortsOnHost(count, names));
    EXPECT_EQ(2u, count);
    EXPECT_EQ((std::vector<std::u16string>{u"Modem (COM3)", u"Printer Port (LPT1)"}), names);
}

TEST_F(ManagerTest, TeardownClosesTheOpenPortAndWritesNothing) {
    InitCom1();
    const auto filesBefore = world.files.files;
    mgr.reset();
    EXPECT_EQ(1, world.device.closeCount);
    EXPECT_TRUE(world.log.writes.empty());
    EXPECT_EQ(filesBefore, world.files.files);
    EXPECT_FALSE(world.files.AnyOpen());
}

}  // namespace
}  // namespace merel::test
