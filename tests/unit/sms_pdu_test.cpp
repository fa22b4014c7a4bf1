// PDU-mode submission: the SMS-SUBMIT encoder and the six commands around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sms/pdu.h"
#include "sms/submission.h"

namespace merel {
namespace {

using namespace std::string_literals;

EncodedPdu Encode(std::u16string_view number, std::u16string_view text) {
    EncodedPdu pdu;
    EXPECT_EQ(EncodeSubmitPdu(number, text, pdu), kS_OK) << "for a valid number";
    return pdu;
}

// The user-data hex of `units` copies of one unit.
std::string Repeat(const std::string& unitHex, std::size_t units) {
    std::string out;
    for (std::size_t i = 0; i < units; ++i) out += unitHex;
    return out;
}

TEST(SmsPduEncoder, WorkedExample) {
    const EncodedPdu pdu = Encode(u"4912345678", u"Hi");
    EXPECT_EQ(pdu.hex, "0021000A91942143658700080400480069");
    EXPECT_EQ(pdu.length, 16u);
}

TEST(SmsPduEncoder, OddDigitCountGetsFillerF) {
    const EncodedPdu pdu = Encode(u"4917012345678", u"Hi");
    EXPECT_EQ(pdu.hex, "0021000D91947110325476F800080400480069");
    EXPECT_EQ(pdu.length, 18u);
    EXPECT_EQ(Encode(u"1", u"").hex, "0021000191F1000800");
}

TEST(SmsPduEncoder, LeadingPlusIsNeitherPlacedNorCounted) {
    const EncodedPdu pdu = Encode(u"+491701234567", u"Hi");
    EXPECT_EQ(pdu.hex, "0021000C9194711032547600080400480069");
    EXPECT_EQ(pdu.length, 17u);
    // With an odd digit count the filler still follows the last digit.
    EXPECT_EQ(Encode(u"+123", u"").hex, "002100039121F3000800");
    // A lone plus leaves an empty address.
    EXPECT_EQ(Encode(u"+", u"").hex, Encode(u"", u"").hex);
}

TEST(SmsPduEncoder, EmptyNumberAndText) {
    const EncodedPdu pdu = Encode(u"", u"");
    EXPECT_EQ(pdu.hex, "0021000091000800");
    EXPECT_EQ(pdu.length, 7u);
}

TEST(SmsPduEncoder, SeparatorsAreRemovedLikeSpaces) {
    const std::string plain = Encode(u"+491701234567", u"Hi").hex;
    for (const char16_t* written :
         {u"+49 170 1234567", u"+49-170-123.45.67", u"+49 (170) 1234567", u"(+49)170-1234567"}) {
        EXPECT_EQ(Encode(written, u"Hi").hex, plain);
    }
}

TEST(SmsPduEncoder, NumberThatIsNotDigitsIsRefused) {
    for (const char16_t* number : {u"49ABC", u"49\t170", u"49+170", u"++49", u"0170/123", u"\u0100",
                                   u"\uFF11", u"*100#", u"49,1"}) {
        EncodedPdu pdu;
        pdu.hex = "untouched";
        EXPECT_EQ(EncodeSubmitPdu(number, u"Hi", pdu), kE_INVALIDARG);
        EXPECT_EQ(pdu.hex, "untouched");
    }
}

TEST(SmsPduEncoder, LengthFieldsHaveTwoDigitsWithALeadingZero) {
    for (std::size_t digits = 1; digits <= 20; ++digits) {
        const std::string hex = Encode(std::u16string(digits, u'5'), u"").hex;
        const char* expected[] = {"01", "02", "03", "04", "05", "06", "07", "08", "09", "0A",
                                  "0B", "0C", "0D", "0E", "0F", "10", "11", "12", "13", "14"};
        EXPECT_EQ(hex.substr(6, 2), expected[digits - 1]) << digits << " digits";
    }
    for (std::size_t units = 1; units <= 8; ++units) {
        const std::string hex = Encode(u"", std::u16string(units, u'x')).hex;
        const char* expected[] = {"02", "04", "06", "08", "0A", "0C", "0E", "10"};
        EXPECT_EQ(hex.substr(14, 2), expected[units - 1]) << units << " units";
    }
}

TEST(SmsPduEncoder, VeryLongNumberKeepsAllDigitsOfItsLength) {
    const std::string hex = Encode(std::u16string(256, u'1'), u"").hex;
    EXPECT_EQ(hex.substr(0, 11), "00210010091");
    EXPECT_EQ(hex.size(), 6u + 3 + 2 + 256 + 6);
}

TEST(SmsPduEncoder, UserDataIsUpperCaseUcs2) {
    EXPECT_EQ(Encode(u"", u"Gr\u00FC\u00DFe \u20AC").hex,
              "00210000910008"
              "0E"
              "0047007200FC00DF0065002020AC");
    EXPECT_EQ(Encode(u"", u"\uABCD\uFEFF").hex.substr(14), "04ABCDFEFF");
}

TEST(SmsPduEncoder, TextIsCutToSeventyUnits) {
    const std::u16string seventy(70, u'\u03A9');
    const EncodedPdu pdu = Encode(u"4912345678", seventy);
    EXPECT_EQ(pdu.hex, "0021000A91942143658700088C" + Repeat("03A9", 70));
    EXPECT_EQ(pdu.length, 147u + 10 / 2);
    EXPECT_EQ(Encode(u"", seventy).length, 147u);

    for (std::size_t extra : {1u, 2u, 500u}) {
        const std::u16string longer = seventy + std::u16string(extra, u'z');
        EXPECT_EQ(Encode(u"4912345678", longer).hex, pdu.hex) << extra;
    }
}

TEST(SmsPduEncoder, CutNeverSplitsASurrogatePair) {
    const std::u16string smile = u"\U0001F600";  // D83D DE00
    const std::u16string head(69, u'a');
    const EncodedPdu split = Encode(u"", head + smile + u"b");
    EXPECT_EQ(split.hex,
              "00210000910008"
              "8A" +
                  Repeat("0061", 69));
    EXPECT_EQ(split.length, 145u);

    // A pair that ends exactly at unit 70 stays whole.
    const EncodedPdu whole = Encode(u"", std::u16string(68, u'a') + smile + u"b");
    EXPECT_EQ(whole.hex,
              "00210000910008"
              "8C" +
                  Repeat("0061", 68) + "D83DDE00");

    // Seventy units of text with the pair at its end are not cut at all.
    EXPECT_EQ(Encode(u"", head + u"\xD83D").hex,
              "00210000910008"
              "8C" +
                  Repeat("0061", 69) + "D83D");
}

// Records every command handed to it; the write numbered `failAt` (1-based) fails.
struct RecordingWriter {
    std::vector<std::string> writes;
    int attempts = 0;
    int failAt = 0;
    HRESULT failWith = kE_FAIL;

    CommandWriter Writer() {
        return [this](std::string_view command) {
            ++attempts;
            if (attempts == failAt) return failWith;
            writes.emplace_back(command);
            return kS_OK;
        };
    }
};

std::vector<std::string> Expected(const std::string& length, const std::string& pdu) {
    return {"AT+CSCS=\"UCS2\"\n\r",       "AT+CMEE=2\n\r",  "AT+CMGF=0\n\r",
            "AT+CMGS=" + length + "\n\r", pdu + "\x1A\n\r", "AT$RESET"};
}

TEST(SmsPduSubmission, WorkedExampleGivesSixWritesByteForByte) {
    RecordingWriter rec;
    ASSERT_EQ(SubmitPduMessage(rec.Writer(), u"49 1234 5678", u"Hi"), kS_OK);
    ASSERT_EQ(rec.writes.size(), 6u);
    const std::vector<std::size_t> sizes = {16, 11, 11, 12, 37, 8};
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(rec.writes[i].size(), sizes[i]) << i;
    EXPECT_EQ(rec.writes[3], "\x41\x54\x2B\x43\x4D\x47\x53\x3D\x31\x36\x0A\x0D"s);
    EXPECT_EQ(rec.writes, Expected("16", "0021000A91942143658700080400480069"));
}

TEST(SmsPduSubmission, PlusNumberAndEmptyInputs) {
    RecordingWriter plus;
    ASSERT_EQ(SubmitPduMessage(plus.Writer(), u"+49 170 1234567", u"Hi"), kS_OK);
    EXPECT_EQ(plus.writes, Expected("17", "0021000C9194711032547600080400480069"));

    RecordingWriter empty;
    ASSERT_EQ(SubmitPduMessage(empty.Writer(), std::u16string_view{}, std::u16string_view{}),
              kS_OK);
    EXPECT_EQ(empty.writes, Expected("7", "0021000091000800"));
}

TEST(SmsPduSubmission, InputsEndAtTheirFirstNul) {
    RecordingWriter rec;
    ASSERT_EQ(SubmitPduMessage(rec.Writer(), u"4912345678\0xyz"s, u"Hi\0there"s), kS_OK);
    EXPECT_EQ(rec.writes, Expected("16", "0021000A91942143658700080400480069"));
}

TEST(SmsPduSubmission, UnencodableNumberIsRefusedBeforeAnyWrite) {
    RecordingWriter rec;
    EXPECT_EQ(SubmitPduMessage(rec.Writer(), u"0170 CALL ME", u"Hi"), kE_INVALIDARG);
    EXPECT_EQ(rec.attempts, 0);
}

TEST(SmsPduSubmission, NumberBeyondTheLimitIsRefusedBeforeAnyWrite) {
    const std::u16string longest(510, u'9');
    RecordingWriter ok;
    ASSERT_EQ(SubmitPduMessage(ok.Writer(), u"  " + longest + u" ", u"Hi"), kS_OK);
    EXPECT_EQ(ok.writes[4].substr(6, 3), "1FE");

    RecordingWriter tooLong;
    EXPECT_EQ(SubmitPduMessage(tooLong.Writer(), longest + u"9", u"Hi"), kE_INVALIDARG);
    EXPECT_EQ(tooLong.attempts, 0);
}

TEST(SmsPduSubmission, FirstFailingWriteEndsTheSubmissionWithItsResult) {
    const HRESULT ioError = FoldError(1117);
    const auto all = Expected("16", "0021000A91942143658700080400480069");
    for (int failAt = 1; failAt <= 6; ++failAt) {
        RecordingWriter rec;
        rec.failAt = failAt;
        rec.failWith = ioError;
        EXPECT_EQ(SubmitPduMessage(rec.Writer(), u"4912345678", u"Hi"), ioError);
        EXPECT_EQ(rec.attempts, failAt) << "nothing may follow a failed write";
        EXPECT_EQ(rec.writes, std::vector<std::string>(all.begin(), all.begin() + failAt - 1));
    }
}

}  // namespace
}  // namespace merel
