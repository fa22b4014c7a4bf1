// Text-mode submission: the five commands, byte for byte, through a recording writer.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fakes.h"
#include "sms/submission.h"

namespace merel {
namespace {

using test::RecordingWriter;
using test::Refusal;

using namespace std::literals;

std::vector<std::string> Expected(const std::string& number, const std::string& body) {
    return {"AT+CSCS=\"PCCP437\"\n\r", "AT+CMGF=1\n\r", "AT+CMGS=\"" + number + "\"\n\r",
            body + "\x1A\n\r", "AT$RESET"};
}

TEST(SmsTextSubmission, NumberAndTextAsSent) {
    const std::u16string longestText(511, u'a');
    const std::u16string cutText = longestText + u'\0' + longestText;
    const std::u16string longestNumber(511, u'7');
    const std::u16string spacedNumber = u" " + longestNumber + u"   ";
    struct Case {
        std::u16string_view number, text;
        std::string sentNumber, body;
    } const cases[] = {
        {u"+49 170 1234567", u"Hello", "+491701234567", "Hello"},
        // Only spaces are removed from the number.
        {u"0170 123 4567", u"x", "01701234567", "x"},
        {u" 0170  123 ", u"x", "0170123", "x"},
        {u"0170-123", u"x", "0170-123", "x"},
        {u"(0170) 12.3", u"x", "(0170)12.3", "x"},
        {u"+49 abc", u"x", "+49abc", "x"},
        // Any printable ASCII but the quote, as long as there is a digit.
        {u"*100#", u"x", "*100#", "x"},
        {u"1!#$%&'*+,-./:;<=>?@[\\]^_`{|}~", u"x", "1!#$%&'*+,-./:;<=>?@[\\]^_`{|}~", "x"},
        // Null, empty and blank texts still give five writes.
        {u"1", {}, "1", ""},
        {u" 1 ", u"", "1", ""},
        // Units are narrowed to their low byte; the blank stays in the text.
        {u"1", u"\u00E9\u0141 \u00FF\u20AC", "1", "\xE9\x41\x20\xFF\xAC"},
        // In the text a unit whose low byte is 0 is sent as '?' and the rest follows.
        {u"123", u"A\u0100B\u0200C", "123", "A?B?C"},
        // Line breaks and other control bytes stay in the text; only 0x1A and 0x1B are refused.
        {u"1", u"line 1\r\nline 2\n\x1C\x7F\u0119", "1", "line 1\r\nline 2\n\x1C\x7F\x19"},
        // Inputs end at their first NUL.
        {u"0170\0 999"sv, u"Hi\0there"sv, "0170", "Hi"},
        {u"1", u"\0abc"sv, "1", ""},
        // The longest text goes whole in one write; what follows a NUL does not count.
        {u"1", longestText, "1", std::string(511, 'a')},
        {u"1", cutText, "1", std::string(511, 'a')},
        // The number limit applies after the spaces are gone.
        {spacedNumber, u"x", std::string(511, '7'), "x"},
    };
    for (const Case& c : cases) {
        RecordingWriter rec;
        rec.okResult = c.body == "x" ? 1 : kS_OK;  // S_FALSE from a write lets it go on
        ASSERT_EQ(SubmitTextMessage(rec.Writer(), c.number, c.text, Refusal()), kS_OK)
            << c.sentNumber;
        EXPECT_EQ(rec.writes, Expected(c.sentNumber, c.body)) << c.sentNumber;
    }
}

TEST(SmsTextSubmission, InputBeyondTheLimitsIsRefusedBeforeAnyWrite) {
    RecordingWriter text, number;
    EXPECT_EQ(SubmitTextMessage(text.Writer(), u"1", std::u16string(512, u'a'), Refusal()),
              kE_INVALIDARG);
    EXPECT_EQ(SubmitTextMessage(number.Writer(), std::u16string(512, u'7'), u"x", Refusal()),
              kE_INVALIDARG);
    EXPECT_EQ(text.attempts + number.attempts, 0);
}

TEST(SmsTextSubmission, InputThatWouldReachTheModemAsCommandsIsRefusedBeforeAnyWrite) {
    struct Case {
        std::u16string_view number, text;
    } const cases[] = {
        // The text: Ctrl-Z ends the message early, ESC abandons it; what follows is a command.
        {u"1",
         u"Hi\x1A"
         u"AT+CPBW=1,\"666\"\r\n"},
        {u"1",
         u"\x1B"
         u"AT+CPBW=1,\"666\"\r\n"},
        {u"1", u"\x1A"},
        // Letters whose low byte is 0x1A or 0x1B: Ě, К and ě.
        {u"1", u"Z\u00E1loha \u011A"},
        {u"1", u"\u041A\u043E\u0442"},
        {u"1", u"\u011B"},
        // The number: a quote or a control byte leaves AT+CMGS="...".
        {u"1\"\r\nAT+CPBW=1,\"666", u"x"},
        {u"12\"3", u"x"},
        {u"\u0122", u"x"},  // Ģ narrows to a quote
        {u"12\r3", u"x"},
        {u"12\n3", u"x"},
        {u"12\t3", u"x"},
        {u"12\x1F", u"x"},
        {u"12\x7F", u"x"},
        {u"12\u0100", u"x"},  // low byte 0
        {u"12\u010D", u"x"},  // č narrows to CR
        {u"12\u011A", u"x"},
    };
    for (const Case& c : cases) {
        RecordingWriter rec;
        EXPECT_EQ(SubmitTextMessage(rec.Writer(), c.number, c.text, Refusal()), kE_INVALIDARG)
            << std::string(c.number.begin(), c.number.end());
        EXPECT_EQ(rec.attempts, 0);
    }
}

TEST(SmsTextSubmission, NumberWithoutADigitOrBeyondPrintableAsciiIsRefusedSayingWhy) {
    const std::string rule =
        "; in text mode a number holds at least one digit and only "
        "printable ASCII characters (space to ~) other than \"";
    struct Case {
        std::u16string_view number;
        std::string message;
    } const cases[] = {
        // Nothing to dial.
        {{}, "number \"\" refused: it has no digit"},
        {u"", "number \"\" refused: it has no digit"},
        {u"   ", "number \"   \" refused: it has no digit"},
        {u"+", "number \"+\" refused: it has no digit"},
        {u"+\0"
         u"49"sv,
         "number \"+\\x0049\" refused: it has no digit"},
        {u"(-)", "number \"(-)\" refused: it has no digit"},
        // Units beyond ASCII would reach the modem as their low byte: Arabic-Indic digits as
        // "abc", a no-break space as 0xA0, Ā as a NUL, an emoji as two other bytes.
        {u"\u0661\u0662\u0663",
         "number \"\u0661\u0662\u0663\" refused: it holds U+0661 '\u0661', which is no printable "
         "ASCII character"},
        {u"+49\u00A0170",
         "number \"+49\u00A0170\" refused: it holds U+00A0 '\u00A0', which is no printable "
         "ASCII character"},
        {u"1\u0100",
         "number \"1\u0100\" refused: it holds U+0100 '\u0100', which is no printable "
         "ASCII character"},
        {u"1\U0001F4DE",
         "number \"1\U0001F4DE\" refused: it holds U+1F4DE '\U0001F4DE', which is no printable "
         "ASCII character"},
        {u"\uFF11",
         "number \"\uFF11\" refused: it holds U+FF11 '\uFF11', which is no printable "
         "ASCII character"},
        // Quotes and control characters as before.
        {u"1\"", "number \"1\"\" refused: it holds a quote"},
        {u"1\x7F", "number \"1\\x7F\" refused: it holds the control character \"\\x7F\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        RecordingWriter rec;
        Failure failure;
        EXPECT_EQ(SubmitTextMessage(rec.Writer(), c.number, u"Hi", failure), kE_INVALIDARG);
        EXPECT_EQ(rec.attempts, 0);
        EXPECT_EQ(failure.Text(), c.message + rule);
    }
}

TEST(SmsSubmissions, FirstFailingWriteEndsTheSubmissionWithItsResult) {
    struct Submission {
        const char* mode;
        std::function<HRESULT(RecordingWriter&)> submit;
        std::vector<std::string> commands;
        int counted;  // what the client's progress estimate counts with
        int opens;    // the number of the write that opens the message (AT+CMGS)
    } const submissions[] = {
        {"text",
         [](RecordingWriter& rec) {
             return SubmitTextMessage(rec.Writer(), u"+49 170 1234567", u"Hello", Refusal());
         },
         Expected("+491701234567", "Hello"), kTextModeCommands, 3},
        {"PDU",
         [](RecordingWriter& rec) {
             return SubmitPduMessage(rec.Writer(), u"4912345678", u"Hi", Refusal());
         },
         {"AT+CSCS=\"UCS2\"\n\r", "AT+CMEE=2\n\r", "AT+CMGF=0\n\r", "AT+CMGS=16\n\r",
          "0021000A91942143658700080400480069\x1A\n\r", "AT$RESET"},
         kPduModeCommands,
         4},
    };
    for (const Submission& s : submissions) {
        EXPECT_EQ(s.commands.size(), static_cast<std::size_t>(s.counted)) << s.mode;
        for (int failAt = 1; failAt <= static_cast<int>(s.commands.size()); ++failAt) {
            SCOPED_TRACE(std::string(s.mode) + " mode, write " + std::to_string(failAt));
            RecordingWriter rec;
            rec.failAt = failAt;
            rec.failWith = FoldError(1117);
            EXPECT_EQ(s.submit(rec), FoldError(1117));
            EXPECT_EQ(rec.attempts, failAt) << "nothing may follow a failed write";
            std::vector<std::string> expected(s.commands.begin(), s.commands.begin() + failAt - 1);
            // Failing on AT+CMGS or the body, the message is cancelled: nothing else may
            // become its body.
            if (failAt == s.opens || failAt == s.opens + 1) expected.emplace_back(1, kEsc);
            EXPECT_EQ(rec.writes, expected);
        }
    }
}
}  // namespace
}  // namespace merel
