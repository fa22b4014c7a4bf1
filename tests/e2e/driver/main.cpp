// merel_manager_driver: runs manager methods in the order given on the command line and prints
// each result, so that whole-system tests can drive a real manager against a real port.
//
//   merel_manager_driver init text NUMBER MESSAGE pdu NUMBER MESSAGE testport status
//
// Arguments are UTF-8. Each step prints one line: the method's name and its HRESULT as eight
// hex digits ("status" adds the four flags). "confirmed NUMBER MESSAGE MODE" adds the reference,
// then a line per warning and the failure's text; "check" adds the lines of CheckModem. The
// manager reads SMSMgr.ini beside this program.
#include <cstdio>
#include <string>
#include <vector>

#include "base/narrow.h"
#include "manager/sms_mgr.h"

namespace {

void Print(const char* method, HRESULT hr) {
    std::printf("%s 0x%08X\n", method, static_cast<unsigned>(hr));
    std::fflush(stdout);
}

int Usage() {
    std::fputs(
        "usage: merel_manager_driver [init | text NUMBER MESSAGE | pdu NUMBER MESSAGE |"
        " send NUMBER MESSAGE | confirmed NUMBER MESSAGE MODE | check | testport |"
        " status]...\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    merel::CSMSMgr mgr;
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        const bool takesMessage = step == "text" || step == "pdu" || step == "send";
        if (takesMessage && i + 2 >= argc) return Usage();
        if (step == "confirmed") {
            if (i + 3 >= argc) return Usage();
            std::int32_t reference = -1;
            const HRESULT hr =
                mgr.SendConfirmed(merel::Utf8ToUtf16(argv[i + 1]), merel::Utf8ToUtf16(argv[i + 2]),
                                  static_cast<std::int16_t>(std::stoi(argv[i + 3])), reference);
            i += 3;
            std::printf("SendConfirmed 0x%08X %d\n", static_cast<unsigned>(hr), reference);
            for (const std::string& warning : mgr.LastModemReport().warnings) {
                std::printf("warning: %s\n", warning.c_str());
            }
            if (!mgr.m_lastFailure.Empty()) {
                std::printf("failure: %s\n", mgr.m_lastFailure.Text().c_str());
            }
            std::fflush(stdout);
        } else if (step == "check") {
            std::uint32_t count = 0;
            std::vector<std::u16string> lines;
            const HRESULT hr = mgr.CheckModem(count, lines);
            std::printf("CheckModem 0x%08X %u\n", static_cast<unsigned>(hr), count);
            for (const std::u16string& line : lines) {
                std::printf("  %s\n", merel::Utf16ToUtf8(line).c_str());
            }
            std::fflush(stdout);
        } else if (step == "init") {
            Print("Init", mgr.Init());
        } else if (step == "testport") {
            Print("TestPort", mgr.TestPort());
        } else if (step == "status") {
            std::int8_t ini = 0, log = 0, open = 0, init = 0;
            const HRESULT hr = mgr.GetSMSManagerStatus(ini, log, open, init);
            std::printf("GetSMSManagerStatus 0x%08X %d %d %d %d\n", static_cast<unsigned>(hr), ini,
                        log, open, init);
            std::fflush(stdout);
        } else if (takesMessage) {
            const std::u16string number = merel::Utf8ToUtf16(argv[i + 1]);
            const std::u16string message = merel::Utf8ToUtf16(argv[i + 2]);
            i += 2;
            if (step == "text") {
                Print("SendTextMessage", mgr.SendTextMessage(number, message, 0));
            } else if (step == "pdu") {
                Print("SendPDUMessage", mgr.SendPDUMessage(number, message));
            } else {
                Print("SendMessage", mgr.SendMessage(number, message));
            }
        } else {
            return Usage();
        }
    }
    return 0;
}
