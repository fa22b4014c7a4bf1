// The SMS text of Alertmanager's webhook notifications: recorded ones, the fields a sender may
// leave out or fill in oddly, cutting to the SMS's length, and bodies that are no notification.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "http/alertmanager.h"

namespace merel::http {
namespace {

std::string Recorded(const std::string& name) {
    std::ifstream file(std::string(MEREL_TEST_DATA) + "/" + name, std::ios::binary);
    std::ostringstream body;
    body << file.rdbuf();
    return body.str();
}

// The text, or the error prefixed with "error: " so that a refusal shows in a failed assertion.
std::string Text(std::string_view body, std::size_t limit = 160) {
    std::string error;
    const auto text = AlertmanagerText(body, limit, error);
    return text ? *text : "error: " + error;
}

TEST(AlertmanagerText, RecordedNotifications) {
    EXPECT_EQ(Text(Recorded("alertmanager-firing.json")),
              "[FIRING:2] HighLoad: load above 8 on web1");
    EXPECT_EQ(Text(Recorded("alertmanager-resolved.json")),
              "[RESOLVED] HighLoad: load above 8 on web1");
}

TEST(AlertmanagerText, CutsToTheLimitEndingInDots) {
    const std::string firing = Recorded("alertmanager-firing.json");
    EXPECT_EQ(Text(firing, 41), "[FIRING:2] HighLoad: load above 8 on web1");
    // A cut after a space does not leave it before the dots.
    EXPECT_EQ(Text(firing, 40), "[FIRING:2] HighLoad: load above 8 on...");
    EXPECT_EQ(Text(firing, 20), "[FIRING:2] HighLo...");
    EXPECT_EQ(Text(firing, 2), "..");

    // Counted and cut in characters, never inside one: 27 characters, 40 bytes.
    const std::string_view wide =
        R"({"status": "resolved", "alerts": [], "groupLabels": {"alertname": "Überlast"},
            "commonAnnotations": {"summary": "🔥🔥🔥🔥🔥🔥"}})";
    EXPECT_EQ(Text(wide, 27), "[RESOLVED] Überlast: 🔥🔥🔥🔥🔥🔥");
    EXPECT_EQ(Text(wide, 26), "[RESOLVED] Überlast: 🔥🔥...");
    EXPECT_EQ(Text(wide, 17), "[RESOLVED] Übe...");
}

TEST(AlertmanagerText, NameAndSummaryFromWhatTheNotificationHas) {
    // Every grouping label, the alert name first.
    EXPECT_EQ(Text(R"({"status": "firing", "alerts": [{"status": "firing"}],
                       "groupLabels": {"job": "node", "alertname": "HighLoad", "instance": "web1"},
                       "commonAnnotations": {"summary": "load above 8"}})"),
              "[FIRING:1] HighLoad web1 node: load above 8");
    // No grouping labels: the alerts' common name, else the first alert's; its summary, else its
    // description, else nothing.
    EXPECT_EQ(Text(R"({"status": "firing", "groupLabels": {}, "commonLabels": {"alertname": "Disk"},
                       "alerts": [{"labels": {"alertname": "Other"},
                                   "annotations": {"summary": "disk full", "description": "d"}}]})"),
              "[FIRING:1] Disk: disk full");
    EXPECT_EQ(Text(R"({"status": "resolved", "alerts": [{"labels": {"alertname": "Disk"},
                       "annotations": {"description": "/var at 97%"}}]})"),
              "[RESOLVED] Disk: /var at 97%");
    EXPECT_EQ(Text(R"({"status": "firing", "alerts": [{"labels": {"alertname": "Disk"}}]})"),
              "[FIRING:1] Disk");
    EXPECT_EQ(
        Text(R"({"status": "firing", "alerts": [{"annotations": {"summary": "disk full"}}]})"),
        "[FIRING:1] disk full");
}

TEST(AlertmanagerText, SeveralAlertsWithoutACommonSummary) {
    // The first alert speaks for the others; only the firing ones are counted.
    EXPECT_EQ(Text(R"({"status": "firing", "groupLabels": {"alertname": "HighLoad"}, "alerts": [
                       {"status": "firing", "annotations": {"summary": "load above 8 on web1"}},
                       {"status": "resolved", "annotations": {"summary": "load above 8 on web2"}},
                       {"status": "firing", "annotations": {"summary": "load above 8 on web3"}}]})"),
              "[FIRING:2] HighLoad: load above 8 on web1 (+2 more)");
}

TEST(AlertmanagerText, ValuesBecomeOneLine) {
    EXPECT_EQ(Text(R"({"status": "firing", "alerts": [],
                       "groupLabels": {"alertname": " High\nLoad "},
                       "commonAnnotations": {"summary": "load above 8\r\non web1:\t\t9.2  (5 min)\n"}})"),
              "[FIRING:0] High Load: load above 8 on web1: 9.2 (5 min)");
}

TEST(AlertmanagerText, FieldsOfAnotherTypeAreAbsent) {
    EXPECT_EQ(Text(R"({"status": "firing", "version": 5, "groupLabels": "HighLoad",
                       "commonLabels": {"alertname": 7}, "commonAnnotations": {"summary": null},
                       "alerts": [{"labels": {"alertname": "HighLoad"}, "annotations": ["x"]}, 3]})"),
              "[FIRING:2] HighLoad (+1 more)");
}

TEST(AlertmanagerText, RefusesWhatIsNoNotification) {
    // Not UTF-8 is no JSON either; the message quotes none of the body.
    for (const std::string_view body :
         {"status=firing", "{\"status\": \"fir\xff\", \"alerts\": []}"}) {
        const std::string error = Text(body);
        EXPECT_EQ(error.rfind("error: the body is not JSON: parse error at line 1, column ", 0), 0u)
            << error;
        EXPECT_EQ(error.find_first_of("\xff="), std::string::npos) << error;
    }
    EXPECT_EQ(Text(R"([{"status": "firing", "alerts": []}])"),
              "error: the body is not an Alertmanager notification: not a JSON object");
    EXPECT_EQ(Text(R"({"status": "firing"})"),
              "error: the body is not an Alertmanager notification: no \"alerts\" array");
    EXPECT_EQ(Text(R"({"status": ["firing"], "alerts": []})"),
              "error: the body is not an Alertmanager notification: no \"status\" string");
}

}  // namespace
}  // namespace merel::http
