// What monitoring reads from `merel-sms status --check`, and the lines `merel-sms log` shows for
// the service's records.
#include <gtest/gtest.h>

#include <string>

#include "cli/call_log.h"
#include "cli/health_check.h"

namespace merel::cli {
namespace {

ModemCheck Answering(bool ready, std::optional<int> rssi) {
    ModemCheck m;
    m.anyAnswer = true;
    m.ready = ready;
    m.rssi = rssi;
    if (!ready) m.problem = "the SIM waits for its PIN";
    return m;
}

TEST(HealthCheck, EachStateIsOnePluginLineWithItsExitCode) {
    HealthFacts f;
    f.port = "/dev/ttyUSB0";
    f.modem = Answering(true, 17);
    EXPECT_EQ(JudgeHealth(f).line,
              "MEREL-SMS OK - port /dev/ttyUSB0 open, modem ready, signal -79 dBm | "
              "signal=-79dBm;;;");
    EXPECT_EQ(JudgeHealth(f).exitCode, kHealthOk);

    f.modem = Answering(true, std::nullopt);
    EXPECT_EQ(JudgeHealth(f).line, "MEREL-SMS OK - port /dev/ttyUSB0 open, modem ready");
    f.modem = ModemCheck{};
    EXPECT_EQ(JudgeHealth(f).line,
              "MEREL-SMS OK - port /dev/ttyUSB0 open, modem silent (no answers)");
    f.modem.reset();
    EXPECT_EQ(JudgeHealth(f).line, "MEREL-SMS OK - port /dev/ttyUSB0 open");

    f.modem = Answering(false, 3);
    EXPECT_EQ(JudgeHealth(f).line,
              "MEREL-SMS WARNING - port /dev/ttyUSB0 open, modem not ready: the SIM waits for its "
              "PIN, signal -107 dBm | signal=-107dBm;;;");
    EXPECT_EQ(JudgeHealth(f).exitCode, kHealthWarning);

    // The earliest stage that fails decides; a '|' or a line break in a reason cannot cut the
    // line or start performance data.
    f.portClosed = "0x8007045D: cannot open port | gone\nreally";
    EXPECT_EQ(JudgeHealth(f).line,
              "MEREL-SMS WARNING - port /dev/ttyUSB0 closed: 0x8007045D: cannot open port / gone "
              "really");
    f.settingsUnread = "0x80070002: settings file not found";
    EXPECT_EQ(JudgeHealth(f).exitCode, kHealthCritical);
    EXPECT_EQ(JudgeHealth(f).line,
              "MEREL-SMS CRITICAL - no settings: 0x80070002: settings file not found");
    f.unreachable = "the service is not running";
    EXPECT_EQ(JudgeHealth(f).line, "MEREL-SMS CRITICAL - no server: the service is not running");
}

TEST(CallLog, RecordLinesBecomeOneLinePerCall) {
    const auto sent = FromRecordLine(
        "<6>SendConfirmed to +49 *** ****567 in text mode: confirmed by the modem, reference 17 "
        "(6.51 s) [MEREL_METHOD=SendConfirmed MEREL_HRESULT=0x00000000 MEREL_MODE=text "
        "MEREL_DURATION_MS=6512 MEREL_NUMBER=\"+49 *** ****567\" MEREL_CONFIRMED=1 "
        "MEREL_REFERENCE=17 MEREL_TIME=2026-12-08T09:00:01.250Z]");
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->microseconds, 1796720401250000);
    EXPECT_TRUE(sent->IsSend());
    const std::string line = LogLine(*sent);
    EXPECT_EQ(line.substr(19), "  +49 *** ****567  confirmed by the modem, reference 17 (6.51 s)");
    EXPECT_NE(LogJson(*sent).find("\"time\":\"2026-12-08T09:00:01Z\""), std::string::npos)
        << LogJson(*sent);

    const auto failed = FromRecordLine(
        "<3>Init: x [MEREL_METHOD=Init MEREL_HRESULT=0x80070002 MEREL_DURATION_MS=3 "
        "MEREL_TIME=2026-12-08T09:00:00.000Z]");
    ASSERT_TRUE(failed);
    EXPECT_FALSE(failed->IsSend());
    EXPECT_EQ(LogLine(*failed).substr(19), "  Init  failed with 0x80070002 (0.00 s)");
    EXPECT_NE(LogJson(*failed).find("\"ok\":false"), std::string::npos);

    // A record without its time cannot be placed.
    EXPECT_FALSE(FromRecordLine("<6>Init: x [MEREL_METHOD=Init]"));
    EXPECT_TRUE(ParseLocalTime("2026-12-08"));
    EXPECT_TRUE(ParseLocalTime("2026-12-08 09:30"));
    EXPECT_FALSE(ParseLocalTime("yesterday"));
    EXPECT_FALSE(ParseLocalTime("2026-13-08"));
}

}  // namespace
}  // namespace merel::cli
