// merel-sms's commands on a stand-in manager that behaves as the real one does: Init reads the
// settings file (missing on a fresh installation) and opens the port; SetSettings writes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>

#include "base/narrow.h"
#include "cli/failure.h"
#include "cli/front_end.h"
#include "cli/progress.h"

namespace merel::cli {
namespace {

struct FakeManager {
    std::vector<std::string> calls;
    std::optional<Settings> file;  // SMSMgr.ini; none on a fresh installation
    Settings current{u"", 460800, 8, 0, 0, 1, 0, 0};
    Status status;
    HRESULT readResult = kS_OK, portResult = kS_OK, writeResult = kS_OK, sendResult = kS_OK;
    std::vector<std::pair<std::u16string, std::u16string>> sent;  // number, text
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
        ports = {u"/dev/ttyS0", u"/dev/ttyUSB0"};
        return Result("GetDetectedCOMPortsOnHost", kS_OK);
    }
    HRESULT TestPort() override {
        m_.status.portOpen = m_.status.portInit = m_.portResult == kS_OK;
        return Result("TestPort", m_.portResult);
    }
    HRESULT Init() override {
        if (!m_.file) return Result("Init", kFileNotFound);
        if (m_.readResult != kS_OK) return Result("Init", m_.readResult);
        m_.current = *m_.file;
        m_.status.iniFileLoad = 1;
        if (m_.portResult == kS_OK) m_.status.portOpen = m_.status.portInit = 1;
        return Result("Init", m_.portResult);
    }
    std::string LastErrorText() const override { return last_; }

  private:
    HRESULT Send(const char* name, const std::u16string& number, const std::u16string& text) {
        if (Result(name, m_.sendResult) == kS_OK) m_.sent.emplace_back(number, text);
        return m_.sendResult;
    }
    HRESULT Result(const char* name, HRESULT hr) {
        m_.calls.push_back(name);
        last_ = Failed(hr) ? "0x" + std::to_string(static_cast<unsigned>(hr)) + ": \"fake\"" : "";
        return hr;
    }
    FakeManager& m_;
    std::string last_;
};

struct Outcome {
    int code;
    std::string out, err;
};

Outcome RunWith(FakeManager& manager, std::vector<std::string> args,
                const std::string& input = {}) {
    args.insert(args.begin(), "merel-sms");
    std::istringstream in(input);
    std::ostringstream out, err;
    Console console{in, out, err, false};
    const int code =
        RunCli([&](const ConnectOptions&) { return std::make_unique<FakeClient>(manager); }, args,
               console);
    return {code, out.str(), err.str()};
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
        {"configure"},
        {"configure", "--port", "p", "--baud", "-5"},
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
        const char* call;
        std::u16string sent;
    } rows[] = {{0, "SendTextMessage", u"Gr\u0081\u00E1e"}, {1, "SendPDUMessage", u"Grüße"}};
    for (const Row& row : rows) {
        FakeManager m = Configured(row.characterSet);
        const Outcome r = RunWith(m, {"send", "1"}, "Grüße\n");
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err, "");  // no progress display when standard error is no terminal
        ASSERT_EQ(m.sent.size(), 1u);
        EXPECT_EQ(m.sent[0].second, row.sent);
        EXPECT_EQ(m.calls.back(), row.call);
    }
    FakeManager m = Configured();
    EXPECT_EQ(RunWith(m, {"send", "1", ""}, "from the input").code, 0);
    EXPECT_EQ(m.sent.at(0).second, u"");  // an empty TEXT is sent as it is
}

TEST(CliSend, InitOnlyWhenTheServerHasNeitherSettingsNorPort) {
    const Status rows[] = {{0, 0, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 1}, {1, 0, 1, 1}};
    for (const Status& status : rows) {
        FakeManager m = Configured();
        m.status = status;
        EXPECT_EQ(RunWith(m, {"send", "1", "hi"}).code, 0);
        const bool initCalled = std::count(m.calls.begin(), m.calls.end(), "Init") == 1;
        EXPECT_EQ(initCalled, !status.iniFileLoad && !status.portInit);
        EXPECT_EQ(m.sent.size(), 1u);
    }
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
}

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
              "{\"command\":\"ports\",\"ok\":true,\"ports\":[\"/dev/ttyS0\",\"/dev/ttyUSB0\"]}\n");
    m.sendResult = kE_INVALIDARG;
    const Outcome r = RunWith(m, {"--json", "send", "--mode", "pdu", "1", "hi"});
    EXPECT_EQ(r.out.rfind("{\"command\":\"send\",\"ok\":false,\"hresult\":\"0x80070057\",\"error\":"
                          "\"0x2147942487: \\\"fake\\\"\",\"hint\":\"PDU mode takes",
                          0),
              0u)
        << r.out;
    EXPECT_TRUE(r.out.ends_with("\"}\n")) << r.out;
}

// On a terminal the display stays on one line and leaves the line empty behind it.
TEST(CliProgress, OneLineClearedAtTheEnd) {
    std::ostringstream shown;
    { Progress progress(shown, true, "sending", 5); }
    const std::string text = shown.str();
    // The display may end before it has shown anything; then it still returns to the margin.
    EXPECT_TRUE(text == "\r\r" || text.starts_with("\rsending... 0 s of about 5 s")) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_TRUE(text.ends_with(std::string(text.size() > 2 ? 27 : 0, ' ') + "\r")) << text;
}

}  // namespace
}  // namespace merel::cli
