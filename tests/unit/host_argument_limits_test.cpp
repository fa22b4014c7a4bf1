// The longest string arguments the hosts take, and what a caller is told beyond them.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>

#include "host/common/argument_limits.h"
#include "host/common/failure_text.h"

namespace merel::host {
namespace {

// The whole text a caller gets, or empty when the arguments are taken.
std::string Refusal(Units units, std::initializer_list<Measured> arguments) {
    const std::optional<Failure> refused = RefuseOversized(units, arguments);
    if (!refused) return {};
    EXPECT_EQ(refused->hr, kE_INVALIDARG);
    return FailureText("SendTextMessage", refused->hr, *refused);
}

TEST(ArgumentLimits, EachStringIsTakenUpToItsLimitAndRefusedOneUnitBeyond) {
    for (StringArgument argument :
         {StringArgument::kNumber, StringArgument::kText, StringArgument::kPort}) {
        const std::size_t limit = MaxLength(argument);
        for (Units units : {Units::kUtf8Bytes, Units::kUtf16Units}) {
            EXPECT_EQ(Refusal(units, {{argument, 0}}), "");
            EXPECT_EQ(Refusal(units, {{argument, limit}}), "");
            EXPECT_NE(Refusal(units, {{argument, limit + 1}}), "");
        }
    }
}

TEST(ArgumentLimits, TheLimitsLeaveRoomForWhatTheServerUses) {
    EXPECT_EQ(MaxLength(StringArgument::kNumber), 4096u);
    EXPECT_EQ(MaxLength(StringArgument::kText), 4096u);
    // Any 511 characters, even at four bytes of UTF-8 each.
    EXPECT_GE(MaxLength(StringArgument::kText), 4 * kMaxTextModeField);
#if defined(_WIN32)
    EXPECT_EQ(MaxLength(StringArgument::kPort), 32767u);
#else
    EXPECT_EQ(MaxLength(StringArgument::kPort), 4096u);
#endif
}

TEST(ArgumentLimits, TheRefusalNamesTheArgumentItsLengthAndTheLimitInTheHostsUnits) {
    EXPECT_EQ(Refusal(Units::kUtf8Bytes, {{StringArgument::kNumber, 31457280}}),
              "0x80070057: number (u_bstrPhoneNr) refused: it has 31457280 bytes of UTF-8; "
              "the server takes at most 4096");
    EXPECT_EQ(Refusal(Units::kUtf16Units, {{StringArgument::kText, 4097}}),
              "0x80070057: text (u_bstrMessage) refused: it has 4097 UTF-16 units; the "
              "server takes at most 4096");
    // The D-Bus service cuts longer strings of large messages to this length on arrival.
    EXPECT_EQ(Refusal(Units::kUtf8Bytes, {{StringArgument::kText, kLongestArrivingString}}),
              "0x80070057: text (u_bstrMessage) refused: it has at least 16384 bytes of UTF-8; "
              "the server takes at most 4096");
    EXPECT_EQ(Refusal(Units::kUtf16Units, {{StringArgument::kText, kLongestArrivingString}}),
              "0x80070057: text (u_bstrMessage) refused: it has 16384 UTF-16 units; the "
              "server takes at most 4096");
    const std::string port =
        Refusal(Units::kUtf8Bytes, {{StringArgument::kPort, MaxLength(StringArgument::kPort) + 1}});
    EXPECT_EQ(port.find("0x80070057: port name (u_bstrPort) refused: it has "), 0u) << port;
}

TEST(ArgumentLimits, OfSeveralArgumentsTheFirstOversizedIsNamed) {
    EXPECT_NE(
        Refusal(Units::kUtf8Bytes, {{StringArgument::kNumber, 20}, {StringArgument::kText, 5000}})
            .find("text (u_bstrMessage) refused: it has 5000 "),
        std::string::npos);
    EXPECT_NE(
        Refusal(Units::kUtf8Bytes, {{StringArgument::kNumber, 5000}, {StringArgument::kText, 6000}})
            .find("number (u_bstrPhoneNr) refused: it has 5000 "),
        std::string::npos);
    EXPECT_EQ(Refusal(Units::kUtf8Bytes,
                      {{StringArgument::kNumber, 4096}, {StringArgument::kText, 4096}}),
              "");
}

}  // namespace
}  // namespace merel::host
