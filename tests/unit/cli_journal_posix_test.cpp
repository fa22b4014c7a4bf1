// An entry as journalctl --output=json prints it: the service's fields as strings, the time in
// microseconds, a value that is no text as an array of bytes.
#include <gtest/gtest.h>

#include "cli/platform.h"

namespace merel::cli {
namespace {

TEST(CallJournal, ReadsJournalctlJsonEntries) {
    const auto call = FromJournalJson(
        R"({"__REALTIME_TIMESTAMP":"1796720401250000","PRIORITY":"6",)"
        R"("SYSLOG_IDENTIFIER":"MerelSMSManager","MESSAGE":"SendConfirmed to ...",)"
        R"("MEREL_METHOD":"SendConfirmed","MEREL_NUMBER":"+49 *** ****567",)"
        R"("MEREL_CONFIRMED":"0","MEREL_DURATION_MS":"5003","MEREL_ERROR":[48,120]})");
    ASSERT_TRUE(call);
    EXPECT_EQ(call->microseconds, 1796720401250000);
    EXPECT_EQ(LogLine(*call).substr(19),
              "  +49 *** ****567  sent, not confirmed by the modem (5.00 s)");
    EXPECT_FALSE(FromJournalJson(R"({"__REALTIME_TIMESTAMP":"1","MESSAGE":"other"})"));
    EXPECT_FALSE(FromJournalJson("-- No entries --"));
}

}  // namespace
}  // namespace merel::cli
