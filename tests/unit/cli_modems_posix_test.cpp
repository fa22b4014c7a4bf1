// merel-sms with several instances of the service, one per modem: --modem (or
// MEREL_SMS_MODEM) picks the one called, and `modems` lists them with port and status, one
// line each, an instance that cannot be asked included.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "base/narrow.h"
#include "cli/front_end.h"
#include "interface/hresult_text.h"

namespace merel::cli {
namespace {

// One instance as `modems` and a send see it; `reachable` false: its calls fail as those to a
// name the bus cannot start.
struct Instance {
    std::u16string port;
    Status status;
    bool reachable = true;
    std::vector<std::u16string> sent;
};

class InstanceClient : public ManagerClient {
  public:
    InstanceClient(Instance* instance, std::string name) : i_(instance), name_(std::move(name)) {}
    HRESULT SendTextMessage(const std::u16string&, const std::u16string& text,
                            std::int32_t) override {
        return Sent(text);
    }
    HRESULT SendPDUMessage(const std::u16string&, const std::u16string& text) override {
        return Sent(text);
    }
    HRESULT SendMessage(const std::u16string&, const std::u16string& text) override {
        return Sent(text);
    }
    HRESULT SendConfirmed(const std::u16string&, const std::u16string& text, std::int16_t,
                          SendReport& report) override {
        report.reference = 7;
        return Sent(text);
    }
    HRESULT SetSettings(const Settings&) override { return Reached(); }
    HRESULT GetSettings(Settings& s) override {
        s = Settings{i_ ? i_->port : u"", 9600, 8, 0, 0, 0, 0, 0};
        return Reached();
    }
    HRESULT GetSMSManagerStatus(Status& s) override {
        if (i_) s = i_->status;
        return Reached();
    }
    HRESULT GetDetectedCOMPortsOnHost(std::vector<std::u16string>&) override { return Reached(); }
    HRESULT TestPort() override { return Reached(); }
    HRESULT Init() override {
        if (i_) i_->status = {1, 0, 1, 1};
        return Reached();
    }
    HRESULT CheckModem(std::vector<std::u16string>&) override { return Reached(); }
    std::string LastErrorText() const override { return last_; }

  private:
    HRESULT Reached() {
        if (i_ && i_->reachable) return kS_OK;
        last_ = wire::FormatHResult(kServerNotRegistered) + ": no service MerelSMSManager.SMSMgr" +
                (name_.empty() ? "" : "." + name_) + " is registered on the session bus";
        return kServerNotRegistered;
    }
    HRESULT Sent(const std::u16string& text) {
        const HRESULT hr = Reached();
        if (hr == kS_OK) i_->sent.push_back(text);
        return hr;
    }
    Instance* i_;
    std::string name_;
    std::string last_;
};

struct Bus {
    std::map<std::string, Instance> instances;  // "" the plain service
    std::vector<std::string> listed;            // what the bus lists; by default the map's keys
    bool listable = true;
    std::vector<std::string> called;  // the instance of each connection, in order

    std::pair<int, std::pair<std::string, std::string>> Run(std::vector<std::string> args) {
        args.insert(args.begin(), "merel-sms");
        std::istringstream in;
        std::ostringstream out, err;
        Console console{in, out, err, false, false};
        const int code = RunCli(
            [this](const ConnectOptions& o) {
                called.push_back(o.modem);
                const auto found = instances.find(o.modem);
                return std::make_unique<InstanceClient>(
                    found == instances.end() ? nullptr : &found->second, o.modem);
            },
            args, console, {},
            [this](const ConnectOptions&, std::vector<std::string>& names, std::string& error) {
                if (!listable) {
                    error = "cannot connect to the session bus: No such file or directory";
                    return false;
                }
                names = listed;
                if (names.empty()) {
                    for (const auto& [name, instance] : instances) names.push_back(name);
                }
                return true;
            });
        return {code, {out.str(), err.str()}};
    }
};

TEST(CliModem, TheOptionOrTheEnvironmentPicksTheInstanceAndTheOptionWins) {
    Bus bus;
    bus.instances[""].status = {1, 0, 1, 1};
    bus.instances["a"].status = {1, 0, 1, 1};
    bus.instances["b"].status = {1, 0, 1, 1};
    EXPECT_EQ(bus.Run({"--modem", "a", "send", "--mode", "text", "+4912345", "to a"}).first, 0);
    EXPECT_EQ(bus.Run({"send", "--mode", "text", "+4912345", "to the plain one"}).first, 0);
    ASSERT_EQ(setenv("MEREL_SMS_MODEM", "b", 1), 0);
    EXPECT_EQ(bus.Run({"send", "--mode", "text", "+4912345", "to b"}).first, 0);
    EXPECT_EQ(bus.Run({"--modem=a", "send", "--mode", "text", "+4912345", "to a again"}).first, 0);
    unsetenv("MEREL_SMS_MODEM");
    EXPECT_EQ(bus.instances["a"].sent, (std::vector<std::u16string>{u"to a", u"to a again"}));
    EXPECT_EQ(bus.instances["b"].sent, std::vector<std::u16string>{u"to b"});
    EXPECT_EQ(bus.instances[""].sent, std::vector<std::u16string>{u"to the plain one"});

    // A modem without a service: the hint registers or starts that instance.
    const auto [code, printed] = bus.Run({"--modem", "c", "send", "+4912345", "x"});
    EXPECT_EQ(code, 69);
    EXPECT_NE(printed.second.find("\nhint: register it: MerelSMSManager -RegServer --instance c; "
                                  "merel-sms modems lists the modems there are\n"),
              std::string::npos)
        << printed.second;
    EXPECT_NE(bus.Run({"--system", "--modem", "c", "status"})
                  .second.second.find("hint: start it: sudo systemctl enable --now "
                                      "merel-sms-manager@c;"),
              std::string::npos);
}

TEST(CliModem, ABadNameIsAUsageErrorThatNamesTheRuleAndCallsNothing) {
    const std::string rule =
        "a modem's name is 1 to 64 letters (A-Z, a-z), digits or '_', not starting with a digit";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--modem", "modem-1", "status"},
          std::vector<std::string>{"--modem", "", "status"},
          std::vector<std::string>{"--modem", "2nd", "send", "1", "x"}}) {
        Bus bus;
        const auto [code, printed] = bus.Run(args);
        EXPECT_EQ(code, 64);
        EXPECT_NE(printed.second.find(rule), std::string::npos) << printed.second;
        EXPECT_TRUE(bus.called.empty());
    }
    Bus bus;
    ASSERT_EQ(setenv("MEREL_SMS_MODEM", "a.b", 1), 0);
    const auto [code, printed] = bus.Run({"status"});
    unsetenv("MEREL_SMS_MODEM");
    EXPECT_EQ(code, 64);
    EXPECT_NE(printed.second.find("invalid modem name 'a.b'"), std::string::npos) << printed.second;
    EXPECT_TRUE(bus.called.empty());
}

TEST(CliModems, OneLinePerInstanceAndOneThatFailsSaysWhyOnItsLine) {
    Bus bus;
    bus.instances[""] = {u"/dev/ttyS0", {1, 0, 1, 1}, true, {}};
    bus.instances["a"] = {
        u"/dev/ttyUSB0", {0, 0, 0, 0}, true, {}};  // started for the listing: loaded
    bus.instances["gone"].reachable = false;
    bus.instances["modem_long"] = {u"", {1, 0, 0, 0}, true, {}};
    const auto [code, printed] = bus.Run({"modems"});
    EXPECT_EQ(code, 0) << printed.second;
    EXPECT_EQ(printed.first,
              "(default)   /dev/ttyS0    port open and configured\n"
              "a           /dev/ttyUSB0  port open and configured\n"
              "gone        error: 0x80040154: no service MerelSMSManager.SMSMgr.gone is "
              "registered on the session bus\n"
              "modem_long  (no port)     port not open\n")
        << printed.first;

    const auto [jsonCode, json] = bus.Run({"--json", "modems"});
    EXPECT_EQ(jsonCode, 0);
    // A failed line keeps every key, null where it has nothing (the others: whole-system test).
    const std::string& out = json.first;
    EXPECT_NE(out.find("{\"modem\":\"gone\",\"bus_name\":\"MerelSMSManager.SMSMgr.gone\",\"ok\":"
                       "false,\"port\":null,\"settings_loaded\":null,\"port_open\":null,"
                       "\"port_configured\":null,\"error\":\"0x80040154: no service "
                       "MerelSMSManager.SMSMgr.gone is registered on the session bus\"}"),
              std::string::npos)
        << out;
}

TEST(CliModems, NoneOnTheBusIsSaidAndABusThatCannotBeAskedFails) {
    Bus none;
    auto [code, printed] = none.Run({"modems"});
    EXPECT_EQ(code, 0);
    EXPECT_EQ(printed.first, "");
    EXPECT_EQ(printed.second.rfind("merel-sms: no MerelSMSManager service is running or can be "
                                   "started on the session bus\nhint: ",
                                   0),
              0u)
        << printed.second;
    EXPECT_EQ(none.Run({"--json", "modems"}).second.first,
              "{\"command\":\"modems\",\"ok\":true,\"modems\":[]}\n");

    Bus unreachable;
    unreachable.listable = false;
    std::tie(code, printed) = unreachable.Run({"modems"});
    EXPECT_NE(code, 0);
    EXPECT_EQ(printed.first, "");
    EXPECT_EQ(printed.second.rfind("merel-sms: ", 0), 0u) << printed.second;
}

}  // namespace
}  // namespace merel::cli
