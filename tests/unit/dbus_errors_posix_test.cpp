#include <gtest/gtest.h>

#include <string>

#include "host/dbus/bus_errors.h"
#include "interface/error_names.h"
#include "interface/hresult_text.h"

namespace merel::dbus {
namespace {

using wire::BareFailureText;
using wire::DescribeHResult;
using wire::FormatHResult;
using wire::HResultErrorName;
using wire::HResultFromBusError;

TEST(DbusErrors, EveryFailureComesBackExactlyFromNameAndMessage) {
    for (const std::uint32_t bits : {0x80004005u, 0x80070002u, 0x80070057u, 0x8007045Du,
                                     0x800704B0u, 0x80000000u, 0xFFFFFFFFu, 0x8007001Du}) {
        const auto hr = static_cast<HRESULT>(bits);
        const std::string name = HResultErrorName(hr);
        const std::string message = BareFailureText(hr);
        SCOPED_TRACE(name);
        EXPECT_EQ(HResultFromBusError(name, message), hr);
        EXPECT_EQ(message.substr(0, 12), FormatHResult(hr) + ": ");
    }
}

TEST(DbusErrors, CodeIsWrittenAsEightUpperCaseDigits) {
    EXPECT_EQ(FormatHResult(static_cast<HRESULT>(0x8007045Du)), "0x8007045D");
    EXPECT_EQ(FormatHResult(0), "0x00000000");
    EXPECT_EQ(HResultErrorName(static_cast<HRESULT>(0x80070002u)),
              "MerelSMSManager.Error.HRESULT_80070002");
    EXPECT_EQ(BareFailureText(static_cast<HRESULT>(0x80070002u)), "0x80070002: file not found");
}

TEST(DbusErrors, ExplanationsForCodesWithoutAWordOfTheirOwn) {
    EXPECT_EQ(DescribeHResult(static_cast<HRESULT>(0x800704D2u)), "system error 1234");
    EXPECT_EQ(DescribeHResult(static_cast<HRESULT>(0x8123ABCDu)), "failure");
}

TEST(DbusErrors, OtherErrorsCarryNoHResult) {
    EXPECT_EQ(HResultFromBusError("org.freedesktop.DBus.Error.InvalidArgs", "0x80070057: x"),
              std::nullopt);
    EXPECT_EQ(HResultFromBusError("MerelSMSManager.Error.HRESULT_8007", "0x80070002"),
              std::nullopt);
    EXPECT_EQ(HResultFromBusError("MerelSMSManager.Error.HRESULT_8007000G", ""), std::nullopt);
    // A message that names another code than the error's name is not ours to trust.
    EXPECT_EQ(HResultFromBusError("MerelSMSManager.Error.HRESULT_80070002", "0x80070003: x"),
              std::nullopt);
    // The message may be missing or written in lower case.
    EXPECT_EQ(HResultFromBusError("MerelSMSManager.Error.HRESULT_8007045d", ""),
              static_cast<HRESULT>(0x8007045Du));
    EXPECT_EQ(HResultFromBusError("MerelSMSManager.Error.HRESULT_8007045D", "0x8007045d: x"),
              static_cast<HRESULT>(0x8007045Du));
}

TEST(DbusErrors, HandlerErrorIsSetAndTheResultIsNegative) {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, whose compound literal is not C++
    EXPECT_LT(SetHResultError(&error, static_cast<HRESULT>(0x80070006u)), 0);
    ASSERT_TRUE(sd_bus_error_is_set(&error));
    EXPECT_STREQ(error.name, "MerelSMSManager.Error.HRESULT_80070006");
    EXPECT_EQ(HResultFromBusError(error.name, error.message), static_cast<HRESULT>(0x80070006u));
    sd_bus_error_free(&error);
}

}  // namespace
}  // namespace merel::dbus
