// merel-sms's commands on a stand-in manager that behaves as the real one does: Init reads the
// settings file (missing on a fresh installation) and opens the port; SetSettings writes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

#include "base/narrow.h"
#include "cli/call_timeout.h"
#include "cli/failure.h"
#include "cli/front_end.h"
#include "cli/progress.h"
#include "interface/hresult_text.h"

namespace merel::cli {
namespace {

struct FakeManager {
    std::vector<std::string> calls;
    std::optional<Settings> file;  // SMSMgr.ini; none on a fresh installation
    Settings current{u"", 460800, 8, 0, 0, 1, 0, 0};
    Status status;
    HRESULT readResult = kS_OK, portResult = kS_OK, writeResult = kS_OK, sendResult = kS_OK;
    std::string sendText = "\"fake\"";  // the server's message on a failed send
    std::vector<std::pair<std::u16string, std::u16string>> sent;  // number, text
    std::vector<std::u16string> ports = {u"Serial Port (/dev/ttyS0)",
                                         u"Serial Port (/dev/ttyUSB0)"};
    std::chrono::milliseconds initDelay{0};  // other clients' calls ahead of the Init
    bool busFound = true;
    // What a confirmed send hears from the modem; the modes it was asked for.
    SendReport modem;
    std::vector<std::int16_t> modes;
    // CheckModem's answer lines, or its failure.
    std::vector<std::u16string> answers;
    HRESULT checkResult = kS_OK;
};

class FakeClient : public ManagerClient {
  public:
    explicit FakeClient(FakeManager& m) : m_(m) {}

    HRESULT SendTextMessage(const std::u16string& number, const std::u16string& text,
                            std::int32_t) override {
        return Send("SendTextMessage", number, text);
    }
    HRESULT SendPDUMessage(const std::u16string& number, const std::u16string& text) override {
        return Send("SendPDUMessage", number, text);
    }
    HRESULT SendMessage(const std::u16string& number, const std::u16string& text) override {
        return Send("SendMessage", number, text);
    }
    HRESULT SetSettings(const Settings& settings) override {
        m_.current = settings;
        if (Result("SetSettings", m_.writeResult) == kS_OK) m_.file = settings;
        return m_.writeResult;
    }
    HRESULT GetSettings(Settings& settings) override {
        settings = m_.current;
        return Result("GetSettings", kS_OK);
    }
    HRESULT GetSMSManagerStatus(Status& status) override {
        status = m_.status;
        return Result("GetSMSManagerStatus", kS_OK);
    }
    HRESULT GetDetectedCOMPortsOnHost(std::vector<std::u16string>& ports) override {
        ports = m_.ports;
        return Result("GetDetectedCOMPortsOnHost", kS_OK);
    }
    HRESULT TestPort() override {
        m_.status.portOpen = m_.status.portInit = m_.portResult == kS_OK;
        return Result("TestPort", m_.portResult, PortText());
    }
    HRESULT Init() override {
        std::this_thread::sleep_for(m_.initDelay);
        if (!m_.file) {
            return Result("Init", kFileNotFound,
                          "settings file /opt/merel/SMSMgr.ini not found: write it with "
                          "SetSettings");
        }
        if (m_.readResult != kS_OK) return Result("Init", m_.readResult);
        m_.current = *m_.file;
        m_.status.iniFileLoad = 1;
        if (m_.portResult == kS_OK) m_.status.portOpen = m_.status.portInit = 1;
        return Result("Init", m_.portResult, PortText());
    }
    HRESULT SendConfirmed(const std::u16string& number, const std::u16string& text,
                          std::int16_t mode, SendReport& report) override {
        m_.modes.push_back(mode);
        const HRESULT hr = Send("SendConfirmed", number, text, m_.sendText);
        report = m_.modem;
        return hr;
    }
    HRESULT CheckModem(std::vector<std::u16string>& lines) override {
        lines.clear();
        if (!m_.status.portOpen) {
            return Result("CheckModem", kE_HANDLE, "no port is open: call Init or TestPort");
        }
        if (Result("CheckModem", m_.checkResult) == kS_OK) lines = m_.answers;
        return m_.checkResult;
    }

    std::string LastErrorText() const override { return last_; }
    bool Connected() const override { return m_.busFound; }

  private:
    // As the server says it, advice for API callers included.
    HRESULT Send(const char* name, const std::u16string& number, const std::u16string& text,
                 const std::string& failureText = "\"fake\"") {
        if (!m_.busFound) return Result(name, kServerNotStarted, "cannot connect: no bus");
        if (!m_.status.iniFileLoad && !m_.status.portInit) {
            return Result(name, kE_FAIL,
                          "not ready to send: no settings file read and no port configured: "
                          "call Init first");
        }
        if (!m_.status.portOpen) {
            return Result(name, kE_HANDLE, "no port is open: call Init or TestPort");
        }
        if (Result(name, m_.sendResult, failureText) == kS_OK) m_.sent.emplace_back(number, text);
        return m_.sendResult;
    }
    std::string PortText() const {
        return "cannot open port " + Utf16ToUtf8(m_.current.port) + ": no such device";
    }
    HRESULT Result(const char* name, HRESULT hr, const std::string& text = "\"fake\"") {
        m_.calls.push_back(name);
        last_ = Failed(hr) ? wire::FormatHResult(hr) + ": " + text : "";
        return hr;
    }
    FakeManager& m_;
    std::string last_;
};

struct Outcome {
    int code;
    std::string out, err;
};

Outcome RunWithInput(FakeManager& manager, std::vector<std::string> args, std::istream& in,
                     bool inputIsTerminal = false) {
    args.insert(args.begin(), "merel-sms");
    std::ostringstream out, err;
    Console console{in, out, err, false, inputIsTerminal};
    const int code =
        RunCli([&](const ConnectOptions&) { return std::make_unique<FakeClient>(manager); }, args,
               console);
    return {code, out.str(), err.str()};
}

Outcome RunWith(FakeManager& manager, std::vector<std::string> args, const std::string& input = {},
                bool inputIsTerminal = false) {
    std::istringstream in(input);
    return RunWithInput(manager, std::move(args), in, inputIsTerminal);
}

// Standard input that fails as a directory does: the platform's stream reports the error by
// throwing from its buffer.
class UnreadableInput : public std::streambuf {
  protected:
    int_type underflow() override {
        throw std::system_error(EISDIR, std::generic_category(), "standard input");
    }
};

// Whether `text` is UTF-8 throughout.
bool IsUtf8(const std::string& text) {
    return Utf16ToUtf8(Utf8ToUtf16(text)) == text;
}

// A manager with its settings file and an open port, as after `configure`.
FakeManager Configured(std::int16_t characterSet = 0) {
    FakeManager m;
    m.file = Settings{u"/dev/ttyUSB0", 9600, 8, 0, 0, 1, 0, characterSet};
    return m;
}

TEST(CliArguments, WrongUsageExits64WithoutCallingTheServer) {
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"bogus"},
        {"send"},
        {"send", "--mode", "gsm", "1", "x"},
        {"send", "1", "x", "extra"},
        {"configure"},  // nothing to change
        {"configure", "--port", "p", "--baud", "-5"},
        {"configure", "--baud", "0"},
        {"configure", "--port", "p", "--mode", "auto"},
        {"--timeout", "0", "status"},
        {"--timeout", "soon", "status"},
        {"--colour", "status"},
    };
    for (const auto& args : rows) {
        FakeManager m;
        const Outcome r = RunWith(m, args);
        EXPECT_EQ(r.code, 64) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err.rfind("merel-sms: ", 0), 0u) << r.err;
        EXPECT_TRUE(m.calls.empty());
    }
    FakeManager m;
    EXPECT_EQ(RunWith(m, {"--version"}).out, "merel-sms " MEREL_VERSION "\n");
    EXPECT_NE(RunWith(m, {"--help"}).out.find("configure"), std::string::npos);
}

TEST(CliArguments, MessagesAndHelpReadWell) {
    FakeManager m;
    // A range up to the largest double is no help.
    EXPECT_EQ(RunWith(m, {"configure", "--baud", "0"}).err,
              "merel-sms: --baud: the baud rate must be a whole number above 0 (for example 9600 "
              "or 115200), not 0\nhint: merel-sms --help lists the commands\n");
    EXPECT_LT(RunWith(m, {"--timeout", "-1", "status"}).err.size(), 200u);
    // The type names of positional arguments are noise.
    const std::string help = RunWith(m, {"send", "--help"}).out;
    EXPECT_NE(help.find("NUMBER REQUIRED"), std::string::npos) << help;
    EXPECT_EQ(help.find("TEXT TEXT"), std::string::npos) << help;
    EXPECT_EQ(help.find("NUMBER TEXT"), std::string::npos) << help;
    EXPECT_TRUE(m.calls.empty());
}

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

TEST(CliSend, LengthLimitsPerMode) {
    const std::string emoji = "\xF0\x9F\x98\x80";  // one character, two UTF-16 units
    struct Row {
        const char* mode;
        std::string text;
        int code;
    } rows[] = {
        {"text", std::string(160, 'x'), 0},
        {"text", std::string(161, 'x'), 65},
        {"text", Repeat("ü", 160), 0},  // characters are counted, not bytes
        {"text", Repeat("ü", 161), 65},
        {"pdu", std::string(70, 'x'), 0},
        {"pdu", std::string(71, 'x'), 65},
        {"pdu", std::string(68, 'x') + emoji, 0},
        {"pdu", std::string(69, 'x') + emoji, 65},
    };
    for (const Row& row : rows) {
        FakeManager m = Configured();
        const Outcome r = RunWith(m, {"send", "--mode", row.mode, "123", row.text});
        EXPECT_EQ(r.code, row.code) << row.mode << " " << row.text.size() << ": " << r.err;
        EXPECT_EQ(m.sent.size(), row.code == 0 ? 1u : 0u);
    }
}

TEST(CliSend, AutoModeFollowsTheStoredCharacterSetAndReadsStandardInput) {
    struct Row {
        std::int16_t characterSet;
        std::int16_t mode;
        std::u16string sent;
    } rows[] = {{0, 0, u"Gr\u0081\u00E1e"}, {1, 1, u"Grüße"}};
    for (const Row& row : rows) {
        FakeManager m = Configured(row.characterSet);
        const Outcome r = RunWith(m, {"send", "1"}, "Grüße\n");
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err, "");  // no progress display when standard error is no terminal
        ASSERT_EQ(m.sent.size(), 1u);
        EXPECT_EQ(m.sent[0].second, row.sent);
        // The mode the text was prepared for goes with it.
        EXPECT_EQ(m.modes, std::vector<std::int16_t>{row.mode});
    }
    FakeManager m = Configured();
    EXPECT_EQ(RunWith(m, {"send", "1", ""}, "from the input").code, 0);
    EXPECT_EQ(m.sent.at(0).second, u"");  // an empty TEXT argument is sent as it is
}

TEST(CliSend, AnEmptyStandardInputSendsNothing) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"send", "1"}, {"send", "1", "-"}}) {
        for (const std::string input : {"", "\n", "\r\n"}) {
            FakeManager m = Configured();
            const Outcome r = RunWith(m, args, input);
            EXPECT_EQ(r.code, 65);
            EXPECT_EQ(r.err.rfind("merel-sms: nothing to send: the text is empty\n", 0), 0u)
                << r.err;
            EXPECT_TRUE(m.sent.empty());
        }
    }
    FakeManager m = Configured();
    const Outcome r = RunWith(m, {"--json", "send", "1"}, "");
    EXPECT_EQ(r.out,
              "{\"command\":\"send\",\"ok\":false,\"hresult\":\"0x80070057\",\"error\":"
              "\"nothing to send: the text is empty\",\"hint\":\"give the text as an argument "
              "or on standard input\"}\n");
}

// An input that cannot be read is not an empty text, and must not look like one that was read.
TEST(CliSend, AnUnreadableStandardInputSendsNothing) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"send", "1"}, {"--json", "send", "1", "-"}}) {
        FakeManager m = Configured();
        UnreadableInput buffer;
        std::istream in(&buffer);
        const Outcome r = RunWithInput(m, args, in);
        EXPECT_EQ(r.code, 65);
        const std::string said = r.out.empty() ? r.err : r.out;
        EXPECT_NE(said.find("cannot read the text: standard input: "), std::string::npos) << said;
        EXPECT_TRUE(m.sent.empty());
    }
    // More than any SMS holds is refused rather than read on for ever.
    FakeManager m = Configured();
    const Outcome r = RunWith(m, {"send", "1"}, std::string(1 << 20, 'x'));
    EXPECT_EQ(r.code, 65);
    EXPECT_EQ(r.err.rfind("merel-sms: standard input holds more than 64 KiB", 0), 0u) << r.err;
    EXPECT_TRUE(m.sent.empty());
}

// Bytes that are not UTF-8 would reach the modem as other characters (U+FFFD's low byte): the
// argument is named and nothing is sent or stored; --json stays valid.
TEST(CliSend, InvalidUtf8IsRefusedNamingTheArgument) {
    struct Row {
        std::vector<std::string> args;
        std::string input, named;
    } rows[] = {
        {{"send",
          "+49\xff"
          "170",
          "hi"},
         "",
         "NUMBER is not UTF-8: byte 4 (0xFF)"},
        {{"send", "--mode", "pdu", "1", "Gr\xc3"}, "", "TEXT is not UTF-8: byte 3 (0xC3)"},
        {{"send", "1"}, "ok \xed\xa0\x80", "the text on standard input is not UTF-8: byte 4"},
        {{"configure", "--port", "/dev/tty\xfe"}, "", "--port is not UTF-8: byte 9 (0xFE)"},
    };
    for (const Row& row : rows) {
        FakeManager m = Configured();
        const Outcome r = RunWith(m, row.args, row.input);
        EXPECT_EQ(r.code, 65) << r.err;
        EXPECT_EQ(r.err.rfind("merel-sms: " + row.named, 0), 0u) << r.err;
        EXPECT_TRUE(m.sent.empty());
        EXPECT_EQ(m.file->port, u"/dev/ttyUSB0");

        std::vector<std::string> json = row.args;
        json.insert(json.begin(), "--json");
        const Outcome j = RunWith(m, json, row.input);
        EXPECT_TRUE(IsUtf8(j.out)) << j.out;
        EXPECT_NE(j.out.find("\"hresult\":\"0x80070057\""), std::string::npos) << j.out;
    }
    // A usage error that echoes the bytes prints UTF-8 too.
    FakeManager m = Configured();
    const Outcome r = RunWith(m, {"--json", "send", "--mode", "\xff", "1", "hi"});
    EXPECT_EQ(r.code, 64);
    EXPECT_TRUE(IsUtf8(r.out)) << r.out;
}

TEST(CliSend, ReadingFromATerminalIsAnnounced) {
    FakeManager m = Configured();
    const Outcome r = RunWith(m, {"send", "1"}, "hi\n", true);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.rfind("merel-sms: reading the text from the terminal; end it with Ctrl-", 0),
              0u)
        << r.err;
    EXPECT_EQ(RunWith(m, {"send", "1"}, "hi\n", false).err, "");   // not from a pipe
    EXPECT_EQ(RunWith(m, {"send", "1", "hi"}, "", true).err, "");  // not with TEXT given
    EXPECT_EQ(m.sent.size(), 3u);
}

TEST(CliSend, TheReportedTimeIncludesWaitingForTheService) {
    FakeManager m = Configured();
    m.status = {1, 0, 1, 1};
    m.initDelay = std::chrono::milliseconds(300);
    const Outcome r = RunWith(m, {"--json", "send", "1", "hi"});
    const auto at = r.out.find("\"seconds\":");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_GE(std::stod(r.out.substr(at + 10)), 0.3) << r.out;
}

// Whatever the server remembers, a send opens the port first when it is not open, and a port
// that cannot be opened is named rather than reported as "no port is open".
TEST(CliSend, OpensThePortWhenTheStatusShowsItClosed) {
    const Status rows[] = {{0, 0, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 1}, {1, 0, 1, 1}, {1, 0, 0, 1}};
    for (const Status& status : rows) {
        FakeManager m = Configured();
        m.status = status;
        const Outcome r = RunWith(m, {"send", "1", "hi"});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(m.sent.size(), 1u);
    }
    // As after a configure whose port could not be opened: settings loaded, no port open.
    FakeManager m = Configured();
    m.status = {1, 0, 0, 0};
    m.current = *m.file;
    m.portResult = kFileNotFound;
    const Outcome r = RunWith(m, {"send", "1", "hi"});
    EXPECT_EQ(r.code, 74);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              "merel-sms: 0x80070002: cannot open port /dev/ttyUSB0: no such device");
    EXPECT_TRUE(m.sent.empty());
}

TEST(CliSend, FailuresGiveTheirExitCodes) {
    struct Row {
        bool configured;
        HRESULT port, send;
        int code;
        const char* hint;
    } rows[] = {
        {false, kS_OK, kS_OK, 73, "merel-sms configure --port"},
        {true, kFileNotFound, kS_OK, 74, "merel-sms ports"},
        {true, kS_OK, kE_INVALIDARG, 65, "160"},
        {true, kS_OK, kServerNotRegistered, 69, "RegServer"},
        {true, kS_OK, kE_OUTOFMEMORY, 75, "try again later"},  // the service's queue is full
    };
    for (const Row& row : rows) {
        FakeManager m = row.configured ? Configured() : FakeManager{};
        m.portResult = row.port;
        m.sendResult = row.send;
        const Outcome r = RunWith(m, {"send", "1", "hi"});
        EXPECT_EQ(r.code, row.code) << r.err;
        EXPECT_NE(r.err.find("merel-sms: 0x"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(row.hint), std::string::npos) << r.err;
    }
}

// A send given up on may have gone out or not; calls before it that time out sent nothing.
TEST(CliSend, ATimeOutSaysTheSendMayHaveGoneOut) {
    FakeManager m = Configured();
    m.sendResult = kCallTimedOut;
    const Outcome r = RunWith(m, {"send", "1", "hi"});
    EXPECT_EQ(r.code, 75);
    EXPECT_NE(r.err.find("the SMS may or may not have gone out\nhint: "), std::string::npos)
        << r.err;
    const Outcome j = RunWith(m, {"--json", "send", "--mode", "pdu", "1", "hi"});
    EXPECT_EQ(j.code, 75);
    EXPECT_NE(j.out.find("\"hresult\":\"0x800705B4\""), std::string::npos) << j.out;

    FakeManager before = Configured();
    before.readResult = kCallTimedOut;  // the Init that a send makes first
    const Outcome b = RunWith(before, {"send", "1", "hi"});
    EXPECT_EQ(b.code, 69);
    EXPECT_EQ(b.err.find("may or may not"), std::string::npos) << b.err;
    EXPECT_TRUE(before.sent.empty());
}

// Time-outs beyond what a transport counts wait without a limit instead of wrapping around
// to a short one (sd-bus takes 0 for its default of 25 s).
TEST(CliTimeout, CappedAtWhatTheTransportCounts) {
    EXPECT_EQ(BusTimeoutMicroseconds(600), 600000000u);
    EXPECT_EQ(BusTimeoutMicroseconds(0.5), 500000u);
    EXPECT_EQ(BusTimeoutMicroseconds(1e-9), 1u);
    EXPECT_EQ(BusTimeoutMicroseconds(1.8e13), 18000000000000000000u);
    for (const double seconds : {1.9e13, 1e20, 1e300}) {
        EXPECT_EQ(BusTimeoutMicroseconds(seconds), UINT64_MAX) << seconds;
        EXPECT_FALSE(WorkerWait(seconds)) << seconds;
    }
    ASSERT_TRUE(WorkerWait(600));
    EXPECT_EQ(*WorkerWait(600), std::chrono::seconds(600));
    EXPECT_TRUE(WorkerWait(1e9));  // some 30 years still count
}

// The server's advice to API callers ("write it with SetSettings") gives way to the command.
TEST(CliSend, FailuresNameCommandsNotApiMethods) {
    FakeManager m;
    const Outcome r = RunWith(m, {"send", "1", "hi"});
    EXPECT_EQ(r.err,
              "merel-sms: 0x80070002: settings file /opt/merel/SMSMgr.ini not found\n"
              "hint: no settings yet; run: merel-sms configure --port <device>\n");

    FakeManager noBus = Configured();
    noBus.busFound = false;
    noBus.status = {1, 0, 1, 1};
    const Outcome r2 = RunWith(noBus, {"send", "1", "hi"});
    EXPECT_EQ(r2.code, 69);
    EXPECT_NE(r2.err.find("\nhint: no session bus"), std::string::npos) << r2.err;
}

// What the modem said, in the line a person reads and in the JSON a script reads.
TEST(CliSend, SaysWhetherTheModemConfirmed) {
    FakeManager m = Configured();
    m.modem.reference = 17;
    Outcome r = RunWith(m, {"send", "+49 170 1234567", "Hi"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("sent in text mode to +49 170 1234567 (")) << r.out;
    EXPECT_TRUE(r.out.ends_with(" s): confirmed by the modem, reference 17\n")) << r.out;
    EXPECT_EQ(r.err, "");
    // --confirmed changes nothing for a confirmed SMS.
    EXPECT_EQ(RunWith(m, {"send", "--confirmed", "1", "Hi"}).code, 0);

    m.modem.reference = -1;
    r = RunWith(m, {"send", "--mode", "pdu", "1", "Hi"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.starts_with("sent in pdu mode to 1 (")) << r.out;
    EXPECT_TRUE(
        r.out.ends_with(" s): not confirmed: the modem did not answer (is the port the "
                        "modem's AT port? try: merel-sms check)\n"))
        << r.out;

    // Asked for a confirmation that did not come: a failure, saying that the SMS may have gone.
    r = RunWith(m, {"send", "--confirmed", "1", "Hi"});
    EXPECT_EQ(r.code, 75);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("merel-sms: sent in text mode to 1 (")) << r.err;
    EXPECT_TRUE(
        r.err.ends_with(", but not confirmed: the modem did not answer: the SMS may or "
                        "may not have gone out\nhint: is the port the modem's AT port? "
                        "try: merel-sms check\n"))
        << r.err;
    EXPECT_EQ(m.sent.size(), 4u);
    EXPECT_EQ(m.modes, (std::vector<std::int16_t>{0, 0, 1, 0}));
}

TEST(CliSend, JsonCarriesTheConfirmationAndWithVerboseTheTranscript) {
    FakeManager m = Configured();
    m.modem = {3, {}, "\\r\\n+CMGS: 3\\r\\n"};
    Outcome r = RunWith(m, {"--json", "send", "1", "Hi"});
    const auto tail = r.out.substr(r.out.find(",\"confirmed\""));
    EXPECT_EQ(tail, ",\"confirmed\":true,\"reference\":3,\"warnings\":[]}\n") << r.out;
    r = RunWith(m, {"--json", "-v", "send", "1", "Hi"});
    EXPECT_NE(r.out.find(",\"transcript\":\"\\\\r\\\\n+CMGS: 3\\\\r\\\\n\"}"), std::string::npos)
        << r.out;

    m.modem = {-1,
               {"the modem does not take character set PCCP437: the text may arrive garbled; "
                "use PDU mode"},
               ""};
    r = RunWith(m, {"--json", "send", "1", "Hi"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find(",\"confirmed\":false,\"reference\":null,\"warnings\":[\"the modem "
                         "does not take character set PCCP437"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err, "");  // the object carries the warning
    r = RunWith(m, {"--json", "send", "--confirmed", "1", "Hi"});
    EXPECT_EQ(r.code, 75);
    EXPECT_NE(r.out.find("\"ok\":false,\"hresult\":null,\"error\":\"sent in text mode"),
              std::string::npos)
        << r.out;
    // A failure's object keeps the keys of every failure: the warning goes to standard error.
    EXPECT_EQ(r.out.find("warnings"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.starts_with("warning: the modem does not take character set PCCP437"))
        << r.err;
}

TEST(CliSend, WarningsArePrintedOnStandardError) {
    FakeManager m = Configured();
    m.modem = {0,
               {"the modem does not take character set PCCP437: the text may arrive garbled; "
                "use PDU mode"},
               "\\r\\nERROR\\r\\n"};
    Outcome r = RunWith(m, {"send", "1", "Hi"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err,
              "warning: the modem does not take character set PCCP437: the text may arrive "
              "garbled; use PDU mode\n");
    EXPECT_NE(r.out.find("reference 0\n"), std::string::npos) << r.out;
    // --quiet leaves out the success line, not what the modem warned of.
    r = RunWith(m, {"-q", "send", "1", "Hi"});
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("warning: the modem does not take")) << r.err;
    r = RunWith(m, {"-v", "send", "1", "Hi"});
    EXPECT_NE(r.err.find("merel-sms: the modem said: \\r\\nERROR\\r\\n\n"), std::string::npos)
        << r.err;
    // A refused send still tells what the modem warned of.
    m.sendResult = static_cast<HRESULT>(0x8004114Au);
    r = RunWith(m, {"send", "1", "Hi"});
    EXPECT_EQ(r.code, 75);
    EXPECT_TRUE(r.err.starts_with("warning: the modem does not take")) << r.err;
}

// A refusal exits 75 with the server's words and a hint for its cause; the modem's time-out
// says that the SMS may have gone, once.
TEST(CliSend, ModemRefusalsExit75WithAHint) {
    struct Row {
        std::uint32_t hr;
        const char* text;
        const char* hint;
    } rows[] = {
        {0x8004114Au, "the modem refused the SMS to 1: +CMS ERROR: 330 (SMSC address unknown)",
         "AT+CSCA=\"+"},
        {0x80041137u,
         "the modem refused AT+CMGS for the SMS to 1: +CMS ERROR: 311 (SIM PIN "
         "required)",
         "mmcli -i 0 --pin=<pin>"},
        {0x8004200Bu, "the modem refused the SMS to 1: +CME ERROR: 11 (SIM PIN required)",
         "AT+CPIN=<pin>"},
        {0x8004114Bu, "the modem refused the SMS to 1: +CMS ERROR: 331 (no network service)",
         "antenna"},
        {0x8004201Eu, "the modem refused the SMS to 1: +CME ERROR: 30 (no network service)",
         "signal"},
        {0x80043000u, "the modem refused the SMS to 1: ERROR", "merel-sms check"},
        {0x800705B4u,
         "the modem did not confirm the SMS within 60 s: it may or may not have been sent",
         "ask the recipient"},
    };
    for (const Row& row : rows) {
        FakeManager m = Configured();
        m.sendResult = static_cast<HRESULT>(row.hr);
        m.sendText = row.text;
        const Outcome r = RunWith(m, {"send", "1", "Hi"});
        SCOPED_TRACE(row.text);
        EXPECT_EQ(r.code, 75);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(
            r.err.substr(0, r.err.find('\n')),
            "merel-sms: " + wire::FormatHResult(static_cast<HRESULT>(row.hr)) + ": " + row.text);
        const std::string hint = r.err.substr(r.err.find('\n') + 1);
        EXPECT_TRUE(hint.starts_with("hint: ")) << r.err;
        EXPECT_NE(hint.find(row.hint), std::string::npos) << r.err;
        EXPECT_TRUE(m.sent.empty());
    }
}

// The facts a person acts on, then the verdict; the exit code tells a script the same.
TEST(CliCheck, ReadyModem) {
    FakeManager m = Configured();
    m.answers = {u"AT\tOK",
                 u"AT+CGMI\tMerel Simulated | OK",
                 u"AT+CGMM\tGSM Modem | OK",
                 u"AT+CGMR\t1.0 | OK",
                 u"AT+CPIN?\t+CPIN: READY | OK",
                 u"AT+CSQ\t+CSQ: 17,99 | OK",
                 u"AT+CREG?\t+CREG: 0,1 | OK",
                 u"AT+COPS?\t+COPS: 0,0,\"Sim Net\" | OK",
                 u"AT+CSCS=?\t+CSCS: (\"IRA\",\"GSM\",\"UCS2\",\"PCCP437\") | OK"};
    Outcome r = RunWith(m, {"check"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "manufacturer: Merel Simulated\nmodel: GSM Modem\nrevision: 1.0\nSIM: ready\n"
              "signal: -79 dBm (3 of 5 bars)\nnetwork: registered, home network, operator Sim "
              "Net\ncharacter set PCCP437: offered: text mode works\nready to send\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(m.calls, (std::vector<std::string>{"Init", "GetSettings", "CheckModem"}));

    r = RunWith(m, {"--json", "check"});
    EXPECT_EQ(r.out,
              "{\"command\":\"check\",\"ok\":true,\"port\":\"/dev/ttyUSB0\",\"ready\":true,"
              "\"answered\":true,\"manufacturer\":\"Merel Simulated\",\"model\":\"GSM Modem\","
              "\"revision\":\"1.0\",\"sim\":\"READY\",\"sim_ready\":true,\"signal_rssi\":17,"
              "\"signal_dbm\":-79,\"signal_bars\":3,\"registration\":\"home\","
              "\"operator\":\"Sim Net\",\"pccp437\":true,\"lines\":[\"AT\\tOK\","
              "\"AT+CGMI\\tMerel Simulated | OK\",\"AT+CGMM\\tGSM Modem | OK\",\"AT+CGMR\\t1.0 | "
              "OK\",\"AT+CPIN?\\t+CPIN: READY | OK\",\"AT+CSQ\\t+CSQ: 17,99 | OK\",\"AT+CREG?\\t+"
              "CREG: 0,1 | OK\",\"AT+COPS?\\t+COPS: 0,0,\\\"Sim Net\\\" | OK\",\"AT+CSCS=?\\t+"
              "CSCS: (\\\"IRA\\\",\\\"GSM\\\",\\\"UCS2\\\",\\\"PCCP437\\\") | OK\"]}\n");
}

TEST(CliCheck, NotReadyExits75WithTheProblemAndItsHint) {
    FakeManager m = Configured();
    const std::u16string commands[] = {u"AT",       u"AT+CGMI",  u"AT+CGMM",
                                       u"AT+CGMR",  u"AT+CPIN?", u"AT+CSQ",
                                       u"AT+CREG?", u"AT+COPS?", u"AT+CSCS=?"};
    for (const auto& command : commands) m.answers.push_back(command + u"\t(no answer)");
    Outcome r = RunWith(m, {"check"});
    EXPECT_EQ(r.code, 75);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("merel-sms: Nothing answers on /dev/ttyUSB0\nhint: ")) << r.err;
    EXPECT_NE(r.err.find("systemctl stop ModemManager"), std::string::npos) << r.err;
    r = RunWith(m, {"--json", "check"});
    EXPECT_TRUE(
        r.out.starts_with("{\"command\":\"check\",\"ok\":false,\"hresult\":null,"
                          "\"error\":\"Nothing answers on /dev/ttyUSB0\",\"hint\":"))
        << r.out;
    EXPECT_NE(r.out.find(",\"ready\":false,\"answered\":false,"), std::string::npos) << r.out;

    m.answers[4] = u"AT+CPIN?\t+CPIN: SIM PIN | OK";
    m.answers[0] = u"AT\tERROR";  // what an earlier send left on the line
    r = RunWith(m, {"check"});
    EXPECT_EQ(r.code, 75);
    EXPECT_NE(r.out.find("SIM: SIM PIN\n"), std::string::npos) << r.out;
    EXPECT_TRUE(
        r.err.starts_with("merel-sms: not ready to send: the SIM is locked: it wants its "
                          "PIN (SIM PIN)\nhint: the SIM wants its PIN: enter it"))
        << r.err;
}

// A modem without "PCCP437" is ready, but not for the stored text mode.
TEST(CliCheck, WithoutPccp437TheStoredTextModeIsNamed) {
    for (const std::int16_t characterSet : {0, 1}) {
        FakeManager m = Configured(characterSet);
        m.answers = {u"AT\tOK", u"AT+CPIN?\t+CPIN: READY | OK", u"AT+CREG?\t+CREG: 0,5 | OK",
                     u"AT+CSCS=?\t+CSCS: (\"IRA\",\"GSM\",\"UCS2\") | OK"};
        const Outcome r = RunWith(m, {"check"});
        EXPECT_EQ(r.code, 0) << r.err;
        const std::string verdict = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
        EXPECT_EQ(verdict, characterSet == 0
                               ? "ready to send in PDU mode; the stored text mode would garble "
                                 "the text: merel-sms configure --mode pdu\n"
                               : "ready to send\n")
            << r.out;
    }
}

// The call itself failing is the port's failure: nothing was asked.
TEST(CliCheck, APortThatFailsExits74) {
    FakeManager m = Configured();
    m.portResult = kFileNotFound;
    Outcome r = RunWith(m, {"check"});
    EXPECT_EQ(r.code, 74);
    EXPECT_EQ(std::count(m.calls.begin(), m.calls.end(), "CheckModem"), 0);

    FakeManager closed = Configured();
    closed.checkResult = static_cast<HRESULT>(0x8007045Du);  // the modem was pulled out
    r = RunWith(closed, {"check"});
    EXPECT_EQ(r.code, 74);
    EXPECT_NE(r.err.find("merel-sms ports"), std::string::npos) << r.err;
}

TEST(CliConfigure, FreshInstallationIsSavedThenOpened) {
    FakeManager m;
    const Outcome r = RunWith(m, {"configure", "--port", "/dev/ttyACM0"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(m.calls,
              (std::vector<std::string>{"GetSMSManagerStatus", "Init", "GetSMSManagerStatus",
                                        "GetSettings", "SetSettings", "Init", "TestPort"}));
    ASSERT_TRUE(m.file);
    EXPECT_EQ(m.file->port, u"/dev/ttyACM0");
    EXPECT_EQ(m.file->baudrate, 460800);
}

TEST(CliConfigure, KeepsStoredValuesNotGiven) {
    FakeManager m = Configured(1);
    m.file->parity = 2;
    EXPECT_EQ(RunWith(m, {"configure", "--port", "COM3", "--baud", "115200"}).code, 0);
    EXPECT_EQ(m.file->port, u"COM3");
    EXPECT_EQ(m.file->baudrate, 115200);
    EXPECT_EQ(m.file->characterSet, 1);
    EXPECT_EQ(m.file->parity, 2);
    EXPECT_EQ(m.calls.back(), "TestPort");  // the new port is opened at once

    EXPECT_EQ(RunWith(m, {"configure", "--port", "COM3", "--mode", "text"}).code, 0);
    EXPECT_EQ(m.file->characterSet, 0);
    EXPECT_EQ(m.file->baudrate, 115200);

    // The port, too, is kept when not given.
    const Outcome r = RunWith(m, {"configure", "--mode", "pdu"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "saved and opened port COM3 at 115200 baud, pdu mode\n");
    EXPECT_EQ(m.file->port, u"COM3");
    EXPECT_EQ(m.file->characterSet, 1);
    EXPECT_EQ(RunWith(m, {"configure", "--baud", "9600"}).code, 0);
    EXPECT_EQ(m.file->port, u"COM3");
    EXPECT_EQ(m.file->baudrate, 9600);
}

TEST(CliConfigure, WithoutAPortStoredOrGivenItIsAUsageError) {
    FakeManager m;
    const Outcome r = RunWith(m, {"configure", "--mode", "pdu"});
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(r.err.rfind("merel-sms: no port is stored yet: name one with --port\n", 0), 0u)
        << r.err;
    EXPECT_FALSE(m.file);
}

#if !defined(_WIN32)
// On the system bus only root may change the settings: a member refused at SetSettings is told
// to run the same command as root, not to join the group it is in.
TEST(CliConfigure, ARefusedSettingsWriteOnTheSystemBusNamesRoot) {
    FakeManager m = Configured();
    m.writeResult = kCallRefused;
    const Outcome r =
        RunWith(m, {"--system", "configure", "--port", "/dev/ttyACM 1", "--mode", "pdu"});
    EXPECT_EQ(r.code, 77);
    EXPECT_NE(r.err.find("\nhint: only root may change the system service's settings: run it as "
                         "root: sudo merel-sms --system configure --port '/dev/ttyACM 1' --mode "
                         "pdu\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(m.file->port, u"/dev/ttyUSB0");

    // A refused send is about membership; the session bus has no such rule.
    FakeManager s = Configured();
    s.sendResult = kCallRefused;
    EXPECT_NE(RunWith(s, {"--system", "send", "1", "hi"}).err.find("usermod -aG merel-sms"),
              std::string::npos);
    const Outcome session = RunWith(m, {"configure", "--port", "/dev/ttyACM1"});
    EXPECT_EQ(session.code, 77);
    EXPECT_EQ(session.err.find("only root"), std::string::npos) << session.err;
}
#endif

TEST(CliConfigure, AnUnreadableSettingsFileIsNotReplaced) {
    FakeManager m = Configured();
    m.readResult = static_cast<HRESULT>(0x80070005u);
    EXPECT_EQ(RunWith(m, {"configure", "--port", "COM3"}).code, 77);
    EXPECT_EQ(m.file->port, u"/dev/ttyUSB0");
    EXPECT_EQ(std::count(m.calls.begin(), m.calls.end(), "SetSettings"), 0);
}

TEST(CliJson, OneObjectPerCommand) {
    FakeManager m = Configured();
    m.status = {1, 0, 1, 1};
    EXPECT_EQ(RunWith(m, {"--json", "status"}).out,
              "{\"command\":\"status\",\"ok\":true,\"settings_loaded\":true,\"log_open\":false,"
              "\"port_open\":true,\"port_configured\":true}\n");
    EXPECT_EQ(RunWith(m, {"ports", "--json"}).out,
              "{\"command\":\"ports\",\"ok\":true,\"ports\":[\"Serial Port (/dev/ttyS0)\","
              "\"Serial Port (/dev/ttyUSB0)\"],\"devices\":[\"/dev/ttyS0\",\"/dev/ttyUSB0\"]}\n");
}

// Every failure has the same keys, whoever found it; null where there is nothing to say.
TEST(CliJson, EveryFailureHasTheSameKeys) {
    struct Row {
        std::vector<std::string> args;
        const char* expected;
        HRESULT send = kS_OK;
    } rows[] = {
        {{"--json", "bogus"},
         R"({"command":null,"ok":false,"hresult":null,"error":"unknown command: bogus",)"
         R"("hint":"merel-sms --help lists the commands"})"},
        {{"send", "--json"},
         R"({"command":"send","ok":false,"hresult":null,"error":"NUMBER is required",)"
         R"("hint":"merel-sms --help lists the commands"})"},
        {{"--json", "send", "--mode", "text", "1", std::string(161, 'x')},
         R"({"command":"send","ok":false,"hresult":"0x80070057","error":"the text has 161 )"
         R"(characters; text mode fits 160","hint":"shorten the text or send it in several )"
         R"(messages"})"},
        {{"--json", "send", "--mode", "pdu", "1", "hi"},
         R"({"command":"send","ok":false,"hresult":"0x80070057","error":"0x80070057: \"fake\"",)"
         R"("hint":"in PDU mode a number holds digits, spaces, the separators - . ( ) and one )"
         R"(leading +, with at most 20 digits; in PDU mode a text holds at most 70 UTF-16 )"
         R"(units"})",
         kE_INVALIDARG},
        {{"--json", "send", "--mode", "text", "1", "hi"},
         R"({"command":"send","ok":false,"hresult":"0x80004005","error":"0x80004005: \"fake\"",)"
         R"("hint":null})",
         kE_FAIL},
    };
    for (const Row& row : rows) {
        FakeManager m = Configured();
        m.sendResult = row.send;
        const Outcome r = RunWith(m, row.args);
        EXPECT_EQ(r.out, std::string(row.expected) + "\n");
        EXPECT_NE(r.code, 0);
    }
}

TEST(CliPorts, TheDeviceComesFirstSoThatItCanBePasted) {
    FakeManager m;
    m.ports = {u"Serial Port (/dev/ttyS0)", u"FTDI FT232R (USB UART) (/dev/ttyUSB0)", u"COM3",
               u"Communications Port (COM1)"};
    const Outcome r = RunWith(m, {"ports"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "/dev/ttyS0    Serial Port\n"
              "/dev/ttyUSB0  FTDI FT232R (USB UART)\n"
              "COM3\n"
              "COM1          Communications Port\n");
    EXPECT_EQ(r.err, "");
}

TEST(CliPorts, AnEmptyListIsSaid) {
    FakeManager m;
    m.ports.clear();
    const Outcome r = RunWith(m, {"ports"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("merel-sms: no serial port found\nhint: ", 0), 0u) << r.err;
    EXPECT_EQ(RunWith(m, {"--json", "ports"}).out,
              "{\"command\":\"ports\",\"ok\":true,\"ports\":[],\"devices\":[]}\n");
}

// On a terminal the display stays on one line and leaves the line empty behind it.
TEST(CliProgress, OneLineClearedAtTheEnd) {
    std::ostringstream shown;
    {
        Progress progress(shown, true);
        progress.Step("sending", 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    const std::string text = shown.str();
    EXPECT_TRUE(text.starts_with("\rsending... 0 s of about 5 s")) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
    std::string cleared(29, ' ');  // the line's 27 characters blanked, between returns
    cleared.front() = cleared.back() = '\r';
    EXPECT_TRUE(text.ends_with(cleared)) << text;

    // A quick step without an estimate shows nothing at all.
    std::ostringstream quick;
    {
        Progress progress(quick, true);
        progress.Step("waiting for the service", 0);
    }
    EXPECT_EQ(quick.str(), "");
}

TEST(CliProgress, ALongWaitIsExplained) {
    EXPECT_EQ(ProgressLine("sending", 5, 4), "sending... 4 s of about 5 s");
    EXPECT_NE(ProgressLine("sending", 5, 9).find("waiting behind other sends"), std::string::npos);
    EXPECT_EQ(ProgressLine("waiting for the service", 0, 3), "waiting for the service... 3 s");
    // Once the commands are written, the wait is for the modem's verdict.
    EXPECT_EQ(ProgressLine("sending", 5, "waiting for the modem's confirmation", 4, 3),
              "sending... 3 s of about 5 s");
    EXPECT_EQ(ProgressLine("sending", 5, "waiting for the modem's confirmation", 4, 9),
              "waiting for the modem's confirmation... 9 s");
}

}  // namespace
}  // namespace merel::cli
