// PDU-mode submission: the SMS-SUBMIT encoder and the six commands around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes.h"
#include "sms/pdu.h"
#include "sms/rules.h"
#include "sms/submission.h"

namespace merel {
namespace {

using test::RecordingWriter;
using test::Refusal;

using namespace std::literals;

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

std::vector<std::string> Expected(const std::string& length, const std::string& pdu) {
    return {"AT+CSCS=\"UCS2\"\n\r",       "AT+CMEE=2\n\r",  "AT+CMGF=0\n\r",
            "AT+CMGS=" + length + "\n\r", pdu + "\x1A\n\r", "AT$RESET"};
}

TEST(SmsPduEncoder, EncodesNumberAndTextAndSubmitsThemInSixWrites) {
    const std::string header = "0021000191F10008";  // number 1, UCS2
    const std::string example = "0021000A91942143658700080400480069";
    const std::string plus = "0021000C9194711032547600080400480069";
    const std::u16string smile = u"\U0001F600";  // D83D DE00
    const std::u16string seventy(70, u'\u03A9');
    const std::string seventyHex = "0021000A91942143658700088C" + Repeat("03A9", 70);
    struct Case {
        std::u16string number, text;
        std::string hex;
        std::size_t length;
    } const cases[] = {
        {u"49 1234 5678", u"Hi", example, 16},
        // An odd digit count gets the filler F after the last digit.
        {u"4917012345678", u"Hi", "0021000D91947110325476F800080400480069", 18},
        {u"1", u"", "0021000191F1000800", 8},
        // A leading plus is neither placed nor counted.
        {u"+491701234567", u"Hi", plus, 17},
        {u"+123", u"", "002100039121F3000800", 9},
        // Separators are removed like spaces.
        {u"+49 170 1234567", u"Hi", plus, 17},
        {u"+49-170-123.45.67", u"Hi", plus, 17},
        {u"+49 (170) 1234567", u"Hi", plus, 17},
        {u"(+49)170-1234567", u"Hi", plus, 17},
        // User data is upper-case UCS2.
        {u"1", u"Gr\u00FC\u00DFe \u20AC", header + "0E0047007200FC00DF0065002020AC", 22},
        {u"1", u"\uABCD\uFEFF", header + "04ABCDFEFF", 12},
        // The text is cut to seventy units.
        {u"4912345678", seventy, seventyHex, 152},
        {u"4912345678", seventy + u"z", seventyHex, 152},
        {u"4912345678", seventy + u"zz", seventyHex, 152},
        {u"4912345678", seventy + std::u16string(500, u'z'), seventyHex, 152},
        {u"1", seventy, header + "8C" + Repeat("03A9", 70), 148},
        // The cut never splits a surrogate pair; one that ends at unit 70 stays whole, and
        // seventy units with a lone first half at the end are not cut at all.
        {u"1", std::u16string(69, u'a') + smile + u"b", header + "8A" + Repeat("0061", 69), 146},
        {u"1", std::u16string(68, u'a') + smile + u"b",
         header + "8C" + Repeat("0061", 68) + "D83DDE00", 148},
        {u"1", std::u16string(69, u'a') + u"\xD83D", header + "8C" + Repeat("0061", 69) + "D83D",
         148},
    };
    for (const Case& c : cases) {
        const EncodedPdu pdu = Encode(c.number, c.text);
        EXPECT_EQ(pdu.hex, c.hex) << c.hex;
        EXPECT_EQ(pdu.length, c.length) << c.hex;
        RecordingWriter rec;
        ASSERT_EQ(SubmitPduMessage(rec.Writer(), c.number, c.text, Refusal()), kS_OK) << c.hex;
        EXPECT_EQ(rec.writes, Expected(std::to_string(c.length), c.hex));
    }
    // Inputs end at their first NUL.
    RecordingWriter cut;
    ASSERT_EQ(SubmitPduMessage(cut.Writer(), u"4912345678\0xyz"sv, u"Hi\0there"sv, Refusal()),
              kS_OK);
    EXPECT_EQ(cut.writes, Expected("16", example));
}

TEST(SmsPduEncoder, NumberThatIsNotDigitsIsRefusedBeforeAnyWrite) {
    for (const char16_t* number :
         {u"49ABC", u"49\t170", u"49+170", u"++49", u"0170/123", u"\u0100", u"\uFF11",
          u"\u0661\u0662\u0663", u"49\u00A0170", u"*100#", u"49,1", u"0170 CALL ME",
          // No digit at all: nothing to dial.
          u"", u"   ", u"+", u"+ ", u"-", u"( )"}) {
        EncodedPdu pdu;
        pdu.hex = "untouched";
        EXPECT_EQ(EncodeSubmitPdu(number, u"Hi", pdu), kE_INVALIDARG);
        EXPECT_EQ(pdu.hex, "untouched");
        RecordingWriter rec;
        EXPECT_EQ(SubmitPduMessage(rec.Writer(), number, u"Hi", Refusal()), kE_INVALIDARG);
        EXPECT_EQ(rec.attempts, 0);
    }
    // A null number, and one whose digits come after its first NUL, say why.
    Failure failure;
    RecordingWriter rec;
    EXPECT_EQ(SubmitPduMessage(rec.Writer(), {}, u"Hi", failure), kE_INVALIDARG);
    EXPECT_EQ(SubmitPduMessage(rec.Writer(),
                               u"+\0"
                               u"49"sv,
                               u"Hi", failure),
              kE_INVALIDARG);
    EXPECT_EQ(rec.attempts, 0);
    EXPECT_EQ(failure.Text(), "number \"+\\x0049\" refused: it has no digit; " + PduNumberRule());
}

TEST(SmsPduSubmission, AddressOfMoreThanTwentyDigitsIsRefusedBeforeAnyWrite) {
    const std::u16string twenty(20, u'9');
    struct Case {
        std::u16string number;
        HRESULT result;
    } const cases[] = {
        {twenty, kS_OK},
        // The plus and separators do not count as digits.
        {u"+" + twenty, kS_OK},
        {u" (+99) 999-999.999 999 999 999 ", kS_OK},
        {twenty + u"1", kE_INVALIDARG},
        {u"+" + twenty + u"1", kE_INVALIDARG},
        {u"99-" + twenty, kE_INVALIDARG},
        {std::u16string(22, u'1'), kE_INVALIDARG},
        {std::u16string(255, u'1'), kE_INVALIDARG},
        {std::u16string(256, u'1'), kE_INVALIDARG},
        {std::u16string(5000, u'1'), kE_INVALIDARG},
    };
    for (const Case& c : cases) {
        RecordingWriter rec;
        EXPECT_EQ(SubmitPduMessage(rec.Writer(), c.number, u"Hi", Refusal()), c.result)
            << c.number.size();
        EXPECT_EQ(rec.writes.size(), c.result == kS_OK ? 6u : 0u) << c.number.size();
    }
    EXPECT_EQ(Encode(twenty, u"").hex, "0021001491" + Repeat("99", 10) + "000800");
}

}  // namespace
}  // namespace merel
