// The HTTP front's configuration, its reading of forms and charsets, and its answers, with a
// fake service behind the merel-sms front end.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/narrow.h"
#include "http/config.h"
#include "http/form.h"
#include "http/front.h"

namespace merel::http {
namespace {

TEST(HttpConfig, ReadsEveryKeyAndRefusesFaultsByLine) {
    FrontConfig config;
    std::string error;
    ASSERT_TRUE(
        ParseConfig("# front\n\nlisten = [::1]:8080\nbus = system\nmodem = modem_1\n"
                    "username = u\npassword = p w\ntoken=t\nmax-body = 4096\n"
                    "rate = 5\ntimeout = 30\r\n",
                    config, error))
        << error;
    EXPECT_EQ(config.host, "::1");
    EXPECT_EQ(config.port, 8080);
    EXPECT_TRUE(config.systemBus);
    EXPECT_EQ(config.modem, "modem_1");
    EXPECT_EQ(config.password, "p w");
    EXPECT_EQ(config.token, "t");
    EXPECT_EQ(config.maxBody, 4096u);
    EXPECT_EQ(config.ratePerMinute, 5);
    EXPECT_EQ(ListenUrl(config), "http://[::1]:8080");

    const std::pair<const char*, const char*> faults[] = {
        {"\nlisten = 127.0.0.1\n", "line 2: listen '127.0.0.1' is not ADDRESS:PORT"},
        {"listen = 127.0.0.1:70000",
         "line 1: listen '127.0.0.1:70000' needs an address and a "
         "port from 1 to 65535"},
        {"listen = ::1:80",
         "line 1: listen '::1:80' is not ADDRESS:PORT (an IPv6 address goes "
         "in brackets: [::1]:13013)"},
        {"bus = user", "line 1: bus is 'session' or 'system', not 'user'"},
        {"modem = 1st", "line 1: modem '1st' is not a modem's name"},
        {"rate = 0", "line 1: rate is a number of requests a minute, at least 1"},
        {"max-body = 10k", "line 1: max-body is a number of bytes"},
        {"password", "line 1: 'password' is not KEY = VALUE"},
        {"pasword = x", "line 1: unknown key 'pasword'"},
    };
    for (const auto& [text, want] : faults) {
        FrontConfig other;
        EXPECT_FALSE(ParseConfig(text, other, error)) << text;
        EXPECT_TRUE(error.starts_with(want)) << error;
    }
}

TEST(HttpConfig, AnAddressOthersReachNeedsCredentialsForWhatItServes) {
    FrontConfig config;
    EXPECT_EQ(RefusalToStart(config), "");
    config.host = "0.0.0.0";
    EXPECT_NE(RefusalToStart(config).find("needs credentials"), std::string::npos);
    config.token = "t";
    EXPECT_EQ(RefusalToStart(config), "");
    EXPECT_TRUE(ServesV1(config));
    EXPECT_FALSE(ServesSendsms(config));
    config.username = "u";
    EXPECT_EQ(RefusalToStart(config), "username and password go together: set both, or neither");
    EXPECT_TRUE(IsLoopback("127.0.0.2") && IsLoopback("::1") && IsLoopback("localhost"));
    EXPECT_FALSE(IsLoopback("::") || IsLoopback("10.0.0.1") || IsLoopback("1270.0.0.1x"));
}

TEST(HttpForm, DecodesEscapesAndKeepsTheInternationalPlusOfANumber) {
    FormParams params;
    std::string error;
    ASSERT_TRUE(
        ParseForm("to=+49170+%2B44123&text=a+b%26c%3D&empty&to=%2B1&bad=%G1", params, error))
        << error;
    EXPECT_EQ(First(params, "to"), std::optional<std::string>("+49170 +44123"));
    EXPECT_EQ(First(params, "text"), std::optional<std::string>("a b&c="));
    EXPECT_EQ(First(params, "empty"), std::optional<std::string>(""));
    EXPECT_EQ(First(params, "bad"), std::optional<std::string>("%G1"));
    EXPECT_EQ(params.count("to"), 2u);
    EXPECT_FALSE(ParseForm("to=0170+0171", params, error));
    EXPECT_NE(error.find("write %2B for a '+' and %20 between numbers"), std::string::npos);
}

TEST(HttpForm, ConvertsTheCharsetsGatewaysSendOrRefusesThem) {
    std::string error;
    EXPECT_EQ(ToUtf8("Gr\xfc\xdf"
                     "e",
                     "iso-8859-1", error),
              "Grüße");
    EXPECT_EQ(ToUtf8(std::string("\x00G\x20\xac\xd8\x3d\xde\x00", 8), "UTF-16BE", error), "G€😀");
    EXPECT_EQ(ToUtf8("Grüße", "", error), "Grüße");
    EXPECT_EQ(ToUtf8("abc", "UTF-16BE", error), std::nullopt);
    EXPECT_EQ(error, "the text has an odd number of bytes (3), which cannot be UTF-16BE");
    EXPECT_EQ(ToUtf8(std::string("\xd8\x3d\x00G", 4), "UCS-2", error), std::nullopt);
    EXPECT_EQ(error, "the text is not UTF-16BE: it holds a lone surrogate");
    EXPECT_EQ(ToUtf8("x", "KOI8-R", error), std::nullopt);
}

// A service that sends what it gets, or fails every send with `sendResult`.
struct FakeService {
    std::vector<std::pair<std::u16string, std::u16string>> sent;
    HRESULT sendResult = kS_OK;
    int failAfter = -1;  // sends that succeed before the rest fail; -1: all as sendResult
    std::int32_t reference = 7;
};

class FakeClient : public cli::ManagerClient {
  public:
    explicit FakeClient(FakeService& s) : s_(s) {}
    HRESULT SendTextMessage(const std::u16string&, const std::u16string&, std::int32_t) override {
        return kE_FAIL;
    }
    HRESULT SetSettings(const cli::Settings&) override { return kE_FAIL; }
    HRESULT GetSettings(cli::Settings& settings) override {
        settings = cli::Settings{u"/dev/ttyUSB0", 460800, 8, 0, 0, 1, 0, 1};
        return kS_OK;
    }
    HRESULT SendPDUMessage(const std::u16string&, const std::u16string&) override {
        return kE_FAIL;
    }
    HRESULT GetSMSManagerStatus(cli::Status& status) override {
        status = cli::Status{1, 0, 1, 1};
        return kS_OK;
    }
    HRESULT SendMessage(const std::u16string&, const std::u16string&) override { return kE_FAIL; }
    HRESULT GetDetectedCOMPortsOnHost(std::vector<std::u16string>&) override { return kE_FAIL; }
    HRESULT TestPort() override { return kS_OK; }
    HRESULT Init() override { return kS_OK; }
    HRESULT SendConfirmed(const std::u16string& number, const std::u16string& text, std::int16_t,
                          cli::SendReport& report) override {
        const bool fails = s_.failAfter >= 0 ? static_cast<int>(s_.sent.size()) >= s_.failAfter
                                             : Failed(s_.sendResult);
        if (fails) {
            last_ = "0x80004005: +CMS ERROR: 42 (congestion)";
            return s_.failAfter >= 0 ? kE_FAIL : s_.sendResult;
        }
        s_.sent.emplace_back(number, text);
        report.reference = s_.reference;
        return kS_OK;
    }
    HRESULT CheckModem(std::vector<std::u16string>&) override { return kE_FAIL; }
    std::string LastErrorText() const override { return last_; }

  private:
    FakeService& s_;
    std::string last_;
};

class HttpFront : public ::testing::Test {
  protected:
    Answer Get(const std::string& path, const std::string& query) {
        return front().Handle(Request{"GET", path, query, "", "", ""});
    }
    Front& front() {
        if (!front_) {
            front_ = std::make_unique<Front>(
                config,
                [this](const cli::ConnectOptions&) {
                    return std::make_unique<FakeClient>(service);
                },
                cli::InstanceLister{});
        }
        return *front_;
    }
    FrontConfig config;
    FakeService service;

  private:
    std::unique_ptr<Front> front_;
};

TEST_F(HttpFront, SendsmsSendsEachReceiverTheTextAsItCame) {
    // "-" would be standard input to merel-sms; it is the text here.
    const Answer answer = Get("/cgi-bin/sendsms", "to=%2B4917+%2B4915&text=-&coding=2");
    EXPECT_EQ(answer.status, 202);
    EXPECT_EQ(answer.body, "0: Accepted for delivery\n");
    ASSERT_EQ(service.sent.size(), 2u);
    EXPECT_EQ(service.sent[0], std::make_pair(std::u16string(u"+4917"), std::u16string(u"-")));
    EXPECT_EQ(service.sent[1].first, u"+4915");
    // A text that starts like an option is a text.
    EXPECT_EQ(Get("/cgi-bin/sendsms", "to=1&text=--help").status, 202);
    EXPECT_EQ(service.sent.back().second, u"--help");
}

TEST_F(HttpFront, AModemThatRefusesIsATemporaryFailureThatNamesWhatWentOut) {
    service.failAfter = 1;
    const Answer answer = Get("/cgi-bin/sendsms", "to=%2B4917%20%2B4915&text=x");
    EXPECT_EQ(answer.status, 503);
    EXPECT_TRUE(
        answer.body.starts_with("Temporary failure: 0x80004005: +CMS ERROR: 42 (congestion)"))
        << answer.body;
    EXPECT_NE(answer.body.find("(sent to +4917 before it)"), std::string::npos) << answer.body;
}

TEST_F(HttpFront, V1AnswersWithTheCliTextsAndRoutesNothingElse) {
    service.sendResult = kE_FAIL;
    Answer answer = front().Handle(
        Request{"POST", "/v1/messages", "", R"({"to":"+4917","text":"hi"})", "", ""});
    EXPECT_EQ(answer.status, 503);
    const auto body = nlohmann::json::parse(answer.body);
    EXPECT_EQ(body["hresult"], "0x80004005");
    EXPECT_EQ(body["error"], "0x80004005: +CMS ERROR: 42 (congestion)");
    answer = front().Handle(Request{"DELETE", "/v1/messages", "", "", "", ""});
    EXPECT_EQ(answer.status, 405);
    EXPECT_EQ(answer.headers, (decltype(answer.headers){{"Allow", "POST"}}));
    EXPECT_EQ(Get("/v1/nothing", "").status, 404);
    EXPECT_EQ(Get("/", "").status, 404);
}

}  // namespace
}  // namespace merel::http
