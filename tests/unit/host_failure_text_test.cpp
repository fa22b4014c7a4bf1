// The text a failed call carries on both hosts: the HRESULT first, then what failed, taken
// from the method, its arguments and the manager as the call left it.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fakes.h"
#include "host/common/failure_text.h"

namespace merel::test {
namespace {

const std::string kIni = "Port:COM1\r\nBaudrate:9600\r\n";

struct Case {
    const char* name;
    const char* method;
    std::u16string number;
    // Prepares the world and makes the failing call; returns its result.
    std::function<HRESULT(FakeWorld&, CSMSMgr&)> call;
    std::string expected;  // "{dir}" stands for the executable's folder
};

HRESULT InitWith(FakeWorld& w, CSMSMgr& m, const std::string& ini) {
    w.files.files[w.IniPath()] = ini;
    return m.Init();
}

HRESULT Save(CSMSMgr& m) {
    return m.SetSettings(u"COM1", 9600, 8, 0, 0, 1, 0, 0);
}

TEST(HostFailureText, NamesWhatFailedForEachMethodAndFailure) {
    const Case cases[] = {
        {"no settings file", "Init", u"", [](FakeWorld&, CSMSMgr& m) { return m.Init(); },
         "0x80070002: settings file {dir}SMSMgr.ini not found: write it with SetSettings"},
        // The file was read once; the flag stays set, yet this time the file failed.
        {"settings file gone on a later Init", "Init", u"",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             w.files.files.clear();
             return m.Init();
         },
         "0x80070002: settings file {dir}SMSMgr.ini not found: write it with SetSettings"},
        {"port missing", "Init", u"",
         [](FakeWorld& w, CSMSMgr& m) { return InitWith(w, m, "Port:COM9\r\n"); },
         "0x80070002: cannot open port COM9: no such device"},
        {"port not permitted", "Init", u"",
         [](FakeWorld& w, CSMSMgr& m) {
             w.device.failOpen = 5;
             return InitWith(w, m, kIni);
         },
         "0x80070005: cannot open port COM1: access denied (no permission to use the device)"},
        // The port stays open when only its configuration failed.
        {"port opens but cannot be configured", "Init", u"",
         [](FakeWorld& w, CSMSMgr& m) {
             w.device.failSetState = 31;
             return InitWith(w, m, kIni);
         },
         "0x8007001F: cannot configure port COM1: system error 31"},
        {"folder not writable", "SetSettings", u"",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             w.files.failCreate = 5;
             return Save(m);
         },
         "0x80004005: settings file {dir}SMSMgr.ini could not be written: the folder {dir} "
         "needs write access"},
        {"no settings path before Init", "SetSettings", u"",
         [](FakeWorld&, CSMSMgr& m) { return Save(m); },
         "0x80004005: the settings file has no place yet: call Init first"},
        {"send before Init", "SendMessage", u"+491701234567",
         [](FakeWorld&, CSMSMgr& m) { return m.SendMessage(u"+491701234567", u"hi"); },
         "0x80004005: not ready to send: no settings file read and no port configured: call "
         "Init first"},
        {"PDU number with letters", "SendPDUMessage", u"+49abc",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             return m.SendPDUMessage(u"+49abc", u"hi");
         },
         "0x80070057: number \"+49abc\" refused: \"a\" is not a digit; in PDU mode a number "
         "holds digits, spaces, the separators - . ( ) and one leading +, with at most 20 "
         "digits"},
        {"text-mode number with a line end, shown escaped", "SendMessage", u"+49\n1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             return m.SendMessage(u"+49\n1", u"hi");
         },
         "0x80070057: number \"+49\\x0A1\" refused: it holds the control character "
         "\"\\x0A\"; in text mode a number holds at least one digit and only printable ASCII "
         "characters (space to ~) other than \""},
        {"text-mode number in Arabic-Indic digits", "SendMessage", u"\u0661\u0662\u0663",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             return m.SendMessage(u"\u0661\u0662\u0663", u"hi");
         },
         "0x80070057: number \"\u0661\u0662\u0663\" refused: it holds U+0661 '\u0661', which is "
         "no printable ASCII character; in text mode a number holds at least one digit and only "
         "printable ASCII characters (space to ~) other than \""},
        {"PDU number that is a lone plus", "SendPDUMessage", u"+",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             return m.SendPDUMessage(u"+", u"hi");
         },
         "0x80070057: number \"+\" refused: it has no digit; in PDU mode a number holds "
         "digits, spaces, the separators - . ( ) and one leading +, with at most 20 digits"},
        {"unknown character set", "SendMessage", u"1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni + "SMSCharacterSet:5\r\n");
             return m.SendMessage(u"1", u"hi");
         },
         "0x80070057: the stored character set 5 is neither 0 (text mode) nor 1 (PDU mode): "
         "change it with SetSettings"},
        {"write fault", "SendTextMessage", u"1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             w.device.failWrite = 29;
             return m.SendTextMessage(u"1", u"hi", 0);
         },
         "0x8007001D: cannot write to port COM1: write fault"},
        // A send after Init could not open the port says why no port is open.
        {"send after the port could not be opened", "SendMessage", u"1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, "Port:/dev/does-not-exist\r\n");
             return m.SendMessage(u"1", u"hi");
         },
         "0x80070006: no port is open: port /dev/does-not-exist could not be opened (0x80070002: "
         "not found)"},
        {"no port named", "Init", u"", [](FakeWorld& w, CSMSMgr& m) { return InitWith(w, m, ""); },
         "0x80070002: no port is set: name one with SetSettings"},
        {"send with no port named", "SendMessage", u"1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, "");
             return m.SendMessage(u"1", u"hi");
         },
         "0x80070006: no port is open: no port is set: name one with SetSettings"},
        {"text with Ctrl-Z", "SendTextMessage", u"1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             return m.SendTextMessage(u"1", u"ab\u011A", 0);
         },
         "0x80070057: text refused: character 3 would reach the modem as Ctrl-Z, which sends the "
         "message there; in text mode a text may not hold Ctrl-Z or ESC"},
        {"text-mode text too long", "SendTextMessage", u"1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             return m.SendTextMessage(u"1", std::u16string(600, u'a'), 0);
         },
         "0x80070057: text refused: it has 600 characters; text mode takes at most 511"},
        {"PDU number too long", "SendPDUMessage", u"",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             return m.SendPDUMessage(u"123456789012345678901", u"hi");
         },
         "0x80070057: number \"123456789012345678901\" refused: it has more than 20 digits; in "
         "PDU mode a number holds digits, spaces, the separators - . ( ) and one leading +, "
         "with at most 20 digits"},
        {"settings file too large", "Init", u"",
         [](FakeWorld& w, CSMSMgr& m) { return InitWith(w, m, std::string(70000, ' ')); },
         "0x800700DF: settings file {dir}SMSMgr.ini cannot be read: it is larger than 65536 "
         "bytes"},
        {"port name the file cannot keep", "SetSettings", u"",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             return m.SetSettings(u"COM\u010D", 9600, 8, 0, 0, 1, 0, 0);
         },
         "0x80004005: settings file {dir}SMSMgr.ini could not be written: character 4 of the "
         "port name (U+010D) would be stored as a NUL, CR or LF byte, and the file read back "
         "otherwise"},
        {"short write", "SendTextMessage", u"1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             w.device.shortWrite = 4;
             return m.SendTextMessage(u"1", u"hi", 0);
         },
         "0x8007001D: cannot write to port COM1: write fault: the port took 4 of 19 bytes"},
        {"the modem pulled out during a send", "SendTextMessage", u"1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             w.device.failWrite = 1167;
             return m.SendTextMessage(u"1", u"hi", 0);
         },
         "0x8007048F: cannot write to port COM1: system error 1167; the device is gone, so the "
         "port is closed: call Init or TestPort"},
        {"a send after the modem was pulled out", "SendTextMessage", u"1",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             w.device.failWrite = 1117;
             m.SendTextMessage(u"1", u"hi", 0);
             return m.SendTextMessage(u"1", u"hi", 0);
         },
         "0x80070006: no port is open: port COM1 was closed when its device went away "
         "(0x8007045D: I/O device error): call Init or TestPort"},
        {"Init after the settings name a port that cannot close the old one", "Init", u"",
         [](FakeWorld& w, CSMSMgr& m) {
             InitWith(w, m, kIni);
             w.device.failClose = 5;
             return InitWith(w, m, "Port:COM2\r\n");
         },
         "0x80070005: cannot close port COM1 to open port COM2"},
        {"a failure the method does not explain", "GetSettings", u"",
         [](FakeWorld&, CSMSMgr&) { return kE_FAIL; },
         "0x80004005: GetSettings failed: unspecified failure"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeWorld world;
        CSMSMgr manager(world.Services());
        const HRESULT hr = c.call(world, manager);
        std::string expected = c.expected;
        const std::string dir = Utf16ToUtf8(FakeWorld::Dir());
        for (auto at = expected.find("{dir}"); at != std::string::npos; at = expected.find("{dir}"))
            expected.replace(at, 5, dir);
        EXPECT_EQ(host::FailureText(c.method, hr, manager.m_lastFailure), expected);
    }
}

}  // namespace
}  // namespace merel::test
