// What the Windows Event Log shows of a call: the type and event that Event Viewer files it
// under, the readable message and the fields, as the server hands them to ReportEventW.
#include <gtest/gtest.h>

#include <string>

#include "base/narrow.h"
#include "host/win32/event_log_entry.h"

namespace merel::host {
namespace {

using namespace std::chrono_literals;

CallRecord Send(HRESULT hr) {
    CallRecord record;
    record.method = "SendConfirmed";
    record.hr = hr;
    record.port = "COM3";
    record.mode = "text";
    record.duration = 6510ms;
    record.caller = "WORKGROUP\\alerts";
    record.number = MaskNumber("+49 170 1234567");
    return record;
}

TEST(EventLogEntry, EachOutcomeHasItsTypeAndEvent) {
    CallRecord confirmed = Send(kS_OK);
    confirmed.reference = 17;
    const EventLogEntry info = EventLogEntryOf(confirmed);
    EXPECT_EQ(info.type, EventType::kInformation);
    EXPECT_EQ(info.eventId, kEventCallSucceeded);
    EXPECT_EQ(Utf16ToUtf8(info.message),
              "SendConfirmed to +49 *** ****567 in text mode: confirmed by the modem, "
              "reference 17 (6.51 s)");
    EXPECT_EQ(Utf16ToUtf8(info.details),
              "MEREL_METHOD=SendConfirmed\r\nMEREL_HRESULT=0x00000000\r\nMEREL_PORT=COM3\r\n"
              "MEREL_MODE=text\r\nMEREL_DURATION_MS=6510\r\nMEREL_CALLER=WORKGROUP\\alerts\r\n"
              "MEREL_NUMBER=+49 *** ****567\r\nMEREL_CONFIRMED=1\r\nMEREL_REFERENCE=17");

    const EventLogEntry unconfirmed = EventLogEntryOf(Send(kS_OK));
    EXPECT_EQ(unconfirmed.type, EventType::kWarning);
    EXPECT_EQ(unconfirmed.eventId, kEventSentUnconfirmed);
    EXPECT_NE(Utf16ToUtf8(unconfirmed.message).find("not confirmed"), std::string::npos);

    CallRecord refused = Send(static_cast<HRESULT>(0x80070005u));
    refused.error = "0x80070005: cannot open port COM3: access denied";
    const EventLogEntry error = EventLogEntryOf(refused);
    EXPECT_EQ(error.type, EventType::kError);
    EXPECT_EQ(error.eventId, kEventCallFailed);
    EXPECT_EQ(Utf16ToUtf8(error.message),
              "SendConfirmed to +49 *** ****567 in text mode: 0x80070005: cannot open port COM3: "
              "access denied (6.51 s)");
    EXPECT_NE(Utf16ToUtf8(error.details).find("\r\nMEREL_ERROR=0x80070005: cannot open port"),
              std::string::npos);
}

TEST(EventLogEntry, CallsThatSendNothingSucceedAsInformation) {
    CallRecord init;
    init.method = "Init";
    init.port = "COM3";
    init.duration = 2000ms;
    const EventLogEntry entry = EventLogEntryOf(init);
    EXPECT_EQ(entry.type, EventType::kInformation);
    EXPECT_EQ(entry.eventId, kEventCallSucceeded);
    EXPECT_EQ(Utf16ToUtf8(entry.message), "Init: succeeded, port COM3 (2.00 s)");
    // No caller, number or reference: no lines for them, and no empty line at the end.
    EXPECT_EQ(Utf16ToUtf8(entry.details),
              "MEREL_METHOD=Init\r\nMEREL_HRESULT=0x00000000\r\nMEREL_PORT=COM3\r\n"
              "MEREL_DURATION_MS=2000");
}

TEST(EventLogEntry, StringsAreCutToWhatReportEventTakesWithoutSplittingACharacter) {
    CallRecord record = Send(static_cast<HRESULT>(0x80004005u));
    // A port name of characters outside the Basic Multilingual Plane: two units each, and the
    // limit falls between the two of one.
    std::string port;
    while (port.size() / 4 * 2 < kMaxInsertLength + 10) port.append("\xF0\x9F\x93\xB1");
    record.error = "0x80004005: cannot open port " + port;
    record.port = port;
    const EventLogEntry entry = EventLogEntryOf(record);
    for (const std::u16string* text : {&entry.message, &entry.details}) {
        EXPECT_LE(text->size(), kMaxInsertLength);
        EXPECT_GE(text->size(), kMaxInsertLength - 1);
        const char16_t last = text->back();
        EXPECT_FALSE(last >= 0xD800 && last <= 0xDBFF) << "a high surrogate without its partner";
    }
    EXPECT_TRUE(Utf16ToUtf8(entry.details).starts_with("MEREL_METHOD=SendConfirmed\r\n"));
}

}  // namespace
}  // namespace merel::host
