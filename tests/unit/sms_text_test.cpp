// Text-mode submission: the five commands, byte for byte, through a recording writer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sms/submission.h"

namespace merel {
namespace {

using namespace std::string_literals;

// Records every command handed to it; the write numbered `failAt` (1-based) fails.
struct RecordingWriter {
    std::vector<std::string> writes;
    int attempts = 0;
    int failAt = 0;
    HRESULT failWith = kE_FAIL;
    HRESULT okResult = kS_OK;

    CommandWriter Writer() {
        return [this](std::string_view command) {
            ++attempts;
            if (attempts == failAt) return failWith;
            writes.emplace_back(command);
            return okResult;
        };
    }
};

const std::string kCharset = "AT+CSCS=\"PCCP437\"\n\r";
const std::string kTextFormat = "AT+CMGF=1\n\r";
const std::string kReset = "AT$RESET";

std::vector<std::string> Expected(const std::string& number, const std::string& body) {
    return {kCharset, kTextFormat, "AT+CMGS=\"" + number + "\"\n\r", body + "\x1A\n\r", kReset};
}

TEST(SmsTextSubmission, WorkedExampleGivesFiveWritesByteForByte) {
    RecordingWriter rec;
    ASSERT_EQ(SubmitTextMessage(rec.Writer(), u"+49 170 1234567", u"Hello"), kS_OK);
    ASSERT_EQ(rec.writes.size(), 5u);
    EXPECT_EQ(rec.writes[0],
              "\x41\x54\x2B\x43\x53\x43\x53\x3D\x22\x50\x43\x43\x50\x34\x33\x37\x22\x0A\x0D"s);
    EXPECT_EQ(rec.writes[0].size(), 19u);
    EXPECT_EQ(rec.writes[1], "\x41\x54\x2B\x43\x4D\x47\x46\x3D\x31\x0A\x0D"s);
    EXPECT_EQ(rec.writes[2], "AT+CMGS=\"+491701234567\"\x0A\x0D"s);
    EXPECT_EQ(rec.writes[2].size(), 25u);
    EXPECT_EQ(rec.writes[3], "\x48\x65\x6C\x6C\x6F\x1A\x0A\x0D"s);
    EXPECT_EQ(rec.writes[4], "\x41\x54\x24\x52\x45\x53\x45\x54"s);
}

TEST(SmsTextSubmission, OnlySpacesAreRemovedFromTheNumber) {
    struct Case {
        std::u16string number;
        std::string sent;
    };
    const Case cases[] = {
        {u"0170 123 4567", "01701234567"}, {u" 0170  123 ", "0170123"},
        {u"0170-123", "0170-123"},         {u"0170\t123", "0170\t123"},
        {u"(0170) 12.3", "(0170)12.3"},    {u"+49 abc", "+49abc"},
    };
    for (const Case& c : cases) {
        RecordingWriter rec;
        ASSERT_EQ(SubmitTextMessage(rec.Writer(), c.number, u"x"), kS_OK);
        EXPECT_EQ(rec.writes, Expected(c.sent, "x")) << c.sent;
    }
}

TEST(SmsTextSubmission, EmptyOrNullInputsStillGiveFiveWrites) {
    RecordingWriter rec;
    ASSERT_EQ(SubmitTextMessage(rec.Writer(), std::u16string_view{}, std::u16string_view{}), kS_OK);
    ASSERT_EQ(rec.writes, Expected("", ""));
    EXPECT_EQ(rec.writes[2].size(), 12u);
    EXPECT_EQ(rec.writes[3], "\x1A\x0A\x0D");

    RecordingWriter spaces;
    ASSERT_EQ(SubmitTextMessage(spaces.Writer(), u"   ", u""), kS_OK);
    EXPECT_EQ(spaces.writes, Expected("", ""));
}

TEST(SmsTextSubmission, UnitsAreNarrowedToTheirLowByte) {
    RecordingWriter rec;
    ASSERT_EQ(SubmitTextMessage(rec.Writer(), u"1", u"\u00E9\u0141 \u00FF\u20AC"), kS_OK);
    // é keeps its byte, Ł and € lose their high byte; the space stays in the text.
    EXPECT_EQ(rec.writes[3], "\xE9\x41\x20\xFF\xAC\x1A\x0A\x0D"s);
}

TEST(SmsTextSubmission, UnitWithZeroLowByteIsSentAsQuestionMark) {
    RecordingWriter rec;
    ASSERT_EQ(SubmitTextMessage(rec.Writer(), u"12\u01003", u"A\u0100B\u0200C"), kS_OK);
    EXPECT_EQ(rec.writes, Expected("12?3", "A?B?C"));
}

TEST(SmsTextSubmission, InputsEndAtTheirFirstNul) {
    RecordingWriter rec;
    const std::u16string number = u"0170\0 999"s;
    const std::u16string message = u"Hi\0there"s;
    ASSERT_EQ(SubmitTextMessage(rec.Writer(), number, message), kS_OK);
    EXPECT_EQ(rec.writes, Expected("0170", "Hi"));

    RecordingWriter leading;
    ASSERT_EQ(SubmitTextMessage(leading.Writer(), u"1", u"\0abc"s), kS_OK);
    EXPECT_EQ(leading.writes[3], "\x1A\n\r");
}

TEST(SmsTextSubmission, LongestTextIsSentWholeInOneWrite) {
    RecordingWriter rec;
    const std::u16string text(511, u'a');
    ASSERT_EQ(SubmitTextMessage(rec.Writer(), u"1", text), kS_OK);
    ASSERT_EQ(rec.writes.size(), 5u);
    EXPECT_EQ(rec.writes[3].size(), 514u);
    EXPECT_EQ(rec.writes[3], std::string(511, 'a') + "\x1A\n\r");

    // What follows a NUL does not count against the limit.
    RecordingWriter cut;
    ASSERT_EQ(SubmitTextMessage(cut.Writer(), u"1", text + u'\0' + text), kS_OK);
    EXPECT_EQ(cut.writes[3].size(), 514u);
}

TEST(SmsTextSubmission, InputBeyondTheLimitsIsRefusedBeforeAnyWrite) {
    const std::u16string longest(511, u'7');
    {
        RecordingWriter rec;
        EXPECT_EQ(SubmitTextMessage(rec.Writer(), u"1", std::u16string(512, u'a')), kE_INVALIDARG);
        EXPECT_EQ(rec.attempts, 0);
    }
    {
        RecordingWriter rec;
        EXPECT_EQ(SubmitTextMessage(rec.Writer(), longest + u"7", u"x"), kE_INVALIDARG);
        EXPECT_EQ(rec.attempts, 0);
    }
    {
        // The limit applies after the spaces are gone.
        RecordingWriter rec;
        ASSERT_EQ(SubmitTextMessage(rec.Writer(), u" " + longest + u"   ", u"x"), kS_OK);
        EXPECT_EQ(rec.writes[2], "AT+CMGS=\"" + std::string(511, '7') + "\"\n\r");
    }
}

TEST(SmsTextSubmission, FirstFailingWriteEndsTheSubmissionWithItsResult) {
    const HRESULT ioError = FoldError(1117);
    for (int failAt = 1; failAt <= 5; ++failAt) {
        RecordingWriter rec;
        rec.failAt = failAt;
        rec.failWith = ioError;
        EXPECT_EQ(SubmitTextMessage(rec.Writer(), u"+49 170 1234567", u"Hello"), ioError);
        EXPECT_EQ(rec.attempts, failAt) << "nothing may follow a failed write";
        const auto all = Expected("+491701234567", "Hello");
        EXPECT_EQ(rec.writes, std::vector<std::string>(all.begin(), all.begin() + failAt - 1));
    }
}

TEST(SmsTextSubmission, NonNegativeWriteResultsLetItGoOn) {
    RecordingWriter rec;
    rec.okResult = 1;  // S_FALSE
    EXPECT_EQ(SubmitTextMessage(rec.Writer(), u"1", u"x"), kS_OK);
    EXPECT_EQ(rec.writes.size(), 5u);
}

}  // namespace
}  // namespace merel
