// The record of a call: what an administrator reads in the journal or the event log, and what
// `merel-sms log` reads back from a line on standard error. It shows the number only masked and
// never the text of a message.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fakes.h"
#include "host/common/call_record.h"
#include "host/common/failure_text.h"
#include "interface/record_line.h"
#include "manager/sms_mgr.h"

namespace merel {
namespace {

using host::CallRecord;
using namespace std::chrono_literals;

TEST(CallRecord, NumbersKeepTheirShapeAndLastThreeDigitsOnly) {
    EXPECT_EQ(host::MaskNumber("+49 170 1234567"), "+49 *** ****567");
    EXPECT_EQ(host::MaskNumber("+491701234567"), "+49*******567");
    EXPECT_EQ(host::MaskNumber("0170-123 4567"), "****-*** *567");
    EXPECT_EQ(host::MaskNumber("(030) 1234567"), "(***) ****567");
    // Too short to keep the country: no more than three digits ever show.
    EXPECT_EQ(host::MaskNumber("+1 555 0100"), "+1 *** *100");
    EXPECT_EQ(host::MaskNumber("+1-5550100"), "+1-****100");
    EXPECT_EQ(host::MaskNumber("+4912345"), "+****345");
    EXPECT_EQ(host::MaskNumber("112"), "112");
    // What is not part of a number shows as nothing but its place.
    EXPECT_EQ(host::MaskNumber("call me at 5551234"), "**** ** ** ****234");
}

TEST(CallRecord, MessageAndFieldsSayWhatHappenedInEachCase) {
    CallRecord confirmed;
    confirmed.method = "SendConfirmed";
    confirmed.port = "/dev/ttyUSB0";
    confirmed.mode = "text";
    confirmed.duration = 6512ms;
    confirmed.caller = ":1.42";
    confirmed.callerUid = 1000;
    confirmed.callerPid = 4242;
    confirmed.number = "+49 *** ****567";
    confirmed.reference = 17;
    EXPECT_EQ(host::RecordMessage(confirmed),
              "SendConfirmed to +49 *** ****567 in text mode: confirmed by the modem, reference 17 "
              "(6.51 s)");
    EXPECT_EQ(host::Priority(confirmed), 6);
    EXPECT_EQ(host::RecordFields(confirmed),
              (wire::RecordFields{{"MEREL_METHOD", "SendConfirmed"},
                                  {"MEREL_HRESULT", "0x00000000"},
                                  {"MEREL_PORT", "/dev/ttyUSB0"},
                                  {"MEREL_MODE", "text"},
                                  {"MEREL_DURATION_MS", "6512"},
                                  {"MEREL_CALLER", ":1.42"},
                                  {"MEREL_CALLER_UID", "1000"},
                                  {"MEREL_CALLER_PID", "4242"},
                                  {"MEREL_NUMBER", "+49 *** ****567"},
                                  {"MEREL_CONFIRMED", "1"},
                                  {"MEREL_REFERENCE", "17"}}));

    CallRecord silent = confirmed;
    silent.reference.reset();
    EXPECT_EQ(host::RecordMessage(silent),
              "SendConfirmed to +49 *** ****567 in text mode: sent, not confirmed by the modem "
              "(6.51 s)");
    EXPECT_EQ(host::Priority(silent), 4) << "a send nobody confirmed deserves a look";

    CallRecord refused;
    refused.method = "SendPDUMessage";
    refused.hr = static_cast<HRESULT>(0x8004114A);
    refused.error = "0x8004114A: the modem refused the SMS";
    refused.mode = "PDU";
    refused.duration = 7004ms;
    refused.number = "+49 *** ****567";
    EXPECT_EQ(host::RecordMessage(refused),
              "SendPDUMessage to +49 *** ****567 in PDU mode: 0x8004114A: the modem refused the "
              "SMS (7.00 s)");
    EXPECT_EQ(host::Priority(refused), 3);
    const wire::RecordFields fields = host::RecordFields(refused);
    EXPECT_EQ(std::count_if(fields.begin(), fields.end(),
                            [](const auto& f) { return f.first == "MEREL_CONFIRMED"; }),
              0)
        << "a failed send was neither confirmed nor unconfirmed";

    CallRecord init;
    init.method = "Init";
    init.port = "COM3";
    init.duration = 2000ms;
    EXPECT_EQ(host::RecordMessage(init), "Init: succeeded, port COM3 (2.00 s)");
}

// A manager after real sends through the fake port: the record takes the mode and reference
// from the send, and the client's error text only with the number masked.
TEST(CallRecord, TakenFromTheManagerAfterASend) {
    test::FakeWorld world;
    CSMSMgr mgr{world.Services()};
    mgr.m_boIsINIFileLoad = 1;
    mgr.m_strPort = u"COM1";
    ASSERT_EQ(mgr.OpenPort(u"COM1"), kS_OK);
    world.device.modem = [](const std::string& written) -> std::string {
        if (written.starts_with("AT+CMGS")) return "\r\n> ";
        if (written.find('\x1A') != std::string::npos) return "\r\n+CMS ERROR: 330\r\n";
        return "\r\nOK\r\n";
    };
    std::int32_t reference = 0;
    const HRESULT hr = mgr.SendConfirmed(u"+49 170 1234567", u"secret text", 1, reference);
    ASSERT_EQ(hr, static_cast<HRESULT>(0x8004114A));
    const std::string clientText = host::FailureText("SendConfirmed", hr, mgr.m_lastFailure);
    ASSERT_NE(clientText.find("+49 170 1234567"), std::string::npos);

    const CallRecord record = host::RecordOf(mgr, "SendConfirmed", hr, clientText, 7s,
                                             std::u16string_view(u"+49 170 1234567"));
    EXPECT_EQ(record.number, "+49 *** ****567");
    EXPECT_EQ(record.mode, "PDU");
    EXPECT_EQ(record.port, "COM1");
    EXPECT_FALSE(record.reference);
    const std::string line = host::FallbackLine(record, "2026-12-08T09:00:00Z");
    EXPECT_EQ(line.find("1234567"), std::string::npos) << line;
    EXPECT_EQ(line.find("secret"), std::string::npos) << line;
    EXPECT_NE(line.find("+CMS ERROR: 330"), std::string::npos) << line;

    world.device.modem = [](const std::string& written) -> std::string {
        if (written.starts_with("AT+CMGS")) return "\r\n> ";
        if (written.find('\x1A') != std::string::npos) return "\r\n+CMGS: 9\r\n\r\nOK\r\n";
        return "\r\nOK\r\n";
    };
    ASSERT_EQ(mgr.SendTextMessage(u"+49 170 1234567", u"Hi", 0), kS_OK);
    const CallRecord sent =
        host::RecordOf(mgr, "SendTextMessage", kS_OK, "", 6s, u"+49 170 1234567");
    EXPECT_EQ(sent.mode, "text");
    EXPECT_EQ(sent.reference, 9);
}

TEST(RecordLine, ReadsBackWhatItWroteWhateverTheValuesHold) {
    const wire::RecordFields fields = {
        {"MEREL_METHOD", "SetSettings"},
        {"MEREL_ERROR", "0x80070005: cannot write \"C:\\x\" [locked]"},
        {"MEREL_PORT", "/dev/serial/by-id/usb-Merel Modem [MEREL_PORT=x]"},
        {"MEREL_EMPTY", ""},
        {"MEREL_TIME", "2026-12-08T09:00:00.123Z"}};
    const std::string line =
        wire::RecordLine(3, "SetSettings: it [broke]\nbadly [MEREL_FAKE=1]", fields);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_TRUE(line.starts_with(
        "<3>SetSettings: it [broke] badly (MEREL_FAKE=1] [MEREL_METHOD=SetSettings "
        "MEREL_ERROR=\"0x80070005: cannot write \\\"C:\\\\x\\\" [locked]\" "))
        << line;
    const auto parsed = wire::ParseRecordLine(line + "\r");
    ASSERT_TRUE(parsed);
    wire::RecordFields expected = {{"PRIORITY", "3"},
                                   {"MESSAGE", "SetSettings: it [broke] badly (MEREL_FAKE=1]"}};
    expected.insert(expected.end(), fields.begin(), fields.end());
    EXPECT_EQ(*parsed, expected);

    // The service's other messages on the same stream are not records.
    for (const char* other : {"MerelSMSManager: cannot take the bus name", "<6>no fields",
                              "<6>x [MEREL_METHOD=\"open]", "<9>x [MEREL_METHOD=Init]", ""}) {
        EXPECT_FALSE(wire::ParseRecordLine(other)) << other;
    }
}

}  // namespace
}  // namespace merel
