// Reading a modem's answers: transcripts in the framing modem manuals document (echo on and
// off, verbose and numeric), fed whole, byte by byte and cut in two at every point, which splits
// every line, every prompt and every echo across reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "base/modem_errors.h"
#include "interface/hresult_text.h"
#include "modem/answer_parser.h"
#include "modem/final_result.h"

namespace merel::modem {

// Events as a reader of a failing test wants them.
void PrintTo(const AnswerEvent& e, std::ostream* out) {
    *out << "{kind " << static_cast<int>(e.kind) << ", \"" << e.text << "\", " << e.number << "}";
}

namespace {

using K = AnswerKind;
using Events = std::vector<AnswerEvent>;

// One exchange: what we write, then what the modem sends back before the next write.
struct Step {
    std::string written;
    std::string answer;
};

// Runs the steps, handing each answer to the parser in pieces of `piece` bytes (0: whole).
Events Run(const std::vector<Step>& steps, std::size_t piece = 0) {
    AnswerParser parser;
    Events events;
    for (const Step& step : steps) {
        if (!step.written.empty()) parser.Wrote(step.written);
        const std::size_t size = piece == 0 ? std::max<std::size_t>(step.answer.size(), 1) : piece;
        for (std::size_t at = 0; at < step.answer.size(); at += size) {
            for (AnswerEvent& e : parser.Feed(step.answer.substr(at, size))) {
                events.push_back(std::move(e));
            }
        }
    }
    return events;
}

// The same events whatever the reads: whole, one byte each, and cut in two at every point.
void ExpectEvents(const std::vector<Step>& steps, const Events& expected) {
    EXPECT_EQ(Run(steps), expected);
    EXPECT_EQ(Run(steps, 1), expected);
    for (std::size_t s = 0; s < steps.size(); ++s) {
        for (std::size_t cut = 1; cut < steps[s].answer.size(); ++cut) {
            std::vector<Step> split = steps;
            split[s].answer = steps[s].answer.substr(0, cut);
            split.insert(split.begin() + static_cast<std::ptrdiff_t>(s) + 1,
                         Step{"", steps[s].answer.substr(cut)});
            ASSERT_EQ(Run(split), expected) << "step " << s << " cut at " << cut;
        }
    }
}

// The text-mode send as the manager writes it.
const std::string kCscs = "AT+CSCS=\"PCCP437\"\n\r";
const std::string kCmgf = "AT+CMGF=1\n\r";
const std::string kCmgs = "AT+CMGS=\"+491701234567\"\n\r";
const std::string kBody = "Hello\x1A\n\r";

TEST(ModemAnswers, TextSendWithEcho) {
    ExpectEvents({{kCscs, "AT+CSCS=\"PCCP437\"\n\r\r\nOK\r\n"},
                  {kCmgf, "AT+CMGF=1\n\r\r\nOK\r\n"},
                  {kCmgs, "AT+CMGS=\"+491701234567\"\n\r\r\n> "},
                  {kBody, "Hello\x1A\r\n+CMGS: 17\r\n\r\nOK\r\n"}},
                 {{K::kEcho, "AT+CSCS=\"PCCP437\""},
                  {K::kOk, "OK"},
                  {K::kEcho, "AT+CMGF=1"},
                  {K::kOk, "OK"},
                  {K::kEcho, "AT+CMGS=\"+491701234567\""},
                  {K::kPrompt, "> "},
                  {K::kEcho, "Hello"},
                  {K::kMessageReference, "+CMGS: 17", 17},
                  {K::kOk, "OK"}});
}

TEST(ModemAnswers, TextSendWithoutEchoAndUnsolicitedLinesBetweenAndInside) {
    ExpectEvents({{"", "\r\n^BOOT:12345678,0,0,0,72\r\n"},
                  {kCmgf, "\r\n^RSSI:14\r\n\r\nOK\r\n"},
                  {kCmgs, "\r\n> "},
                  {kBody,
                   "\r\n+CMTI: \"SM\",3\r\n\r\n+CMGS: 255\r\n\r\n^MODE:5,4\r\n\r\nOK\r\n"
                   "\r\nRING\r\n\r\n+CREG: 1\r\n"}},
                 {{K::kUnsolicited, "^BOOT:12345678,0,0,0,72"},
                  {K::kUnsolicited, "^RSSI:14"},
                  {K::kOk, "OK"},
                  {K::kPrompt, "> "},
                  {K::kUnsolicited, "+CMTI: \"SM\",3"},
                  {K::kMessageReference, "+CMGS: 255", 255},
                  {K::kUnsolicited, "^MODE:5,4"},
                  {K::kOk, "OK"},
                  {K::kUnsolicited, "RING"},
                  {K::kUnsolicited, "+CREG: 1"}});
}

TEST(ModemAnswers, NumericResultsEndWithCarriageReturnOnly) {
    // ATV0: information text ends CR LF, result codes are a digit and CR; 2 is RING.
    ExpectEvents({{kCmgf, "AT+CMGF=1\n\r0\r"},
                  {kCmgs, "4\r"},
                  {kCmgs, "2\r> "},
                  {"0123456789ABCDEF\x1A\n\r", "+CMGS: 3\r\n0\r"}},
                 {{K::kEcho, "AT+CMGF=1"},
                  {K::kOk, "0"},
                  {K::kError, "4"},
                  {K::kUnsolicited, "2"},
                  {K::kPrompt, "> "},
                  {K::kMessageReference, "+CMGS: 3", 3},
                  {K::kOk, "0"}});
}

TEST(ModemAnswers, RefusalsNumberedAndInWords) {
    ExpectEvents({{kCmgs, "\r\n+CMS ERROR: 330\r\n"},
                  {kCmgs, "\r\n+CMS ERROR: SMSC address unknown\r\n"},
                  {"AT+CPIN?\r", "\r\n+CME ERROR: SIM PIN required\r\n"},
                  {"AT+CPIN?\r", "\r\n+CME ERROR: 11\r\n"},
                  {"AT^FOO\r", "\r\nCOMMAND NOT SUPPORT\r\n"},
                  {"ATX\r", "\r\nERROR\r\n"}},
                 {{K::kCmsError, "+CMS ERROR: 330", 330},
                  {K::kCmsError, "+CMS ERROR: SMSC address unknown"},
                  {K::kCmeError, "+CME ERROR: SIM PIN required"},
                  {K::kCmeError, "+CME ERROR: 11", 11},
                  {K::kError, "COMMAND NOT SUPPORT"},
                  {K::kError, "ERROR"}});
}

TEST(ModemAnswers, BlankLinesAndBrokenReferences) {
    // A ">" that ends a line is no prompt.
    ExpectEvents({{kCmgs, "\r\n \r\n>\r\n+CMGS\r\n+CMGS: 300\r\n+CMGS:\r\n\t\r\nOK\r\n"}},
                 {{K::kInformation, ">"},
                  {K::kInformation, "+CMGS"},
                  {K::kInformation, "+CMGS: 300"},
                  {K::kInformation, "+CMGS:"},
                  {K::kOk, "OK"}});
}

TEST(ModemAnswers, QueryLinesAnswerOnlyTheirOwnCommand) {
    ExpectEvents({{"AT+CSQ\r", "\r\n+CREG: 2\r\n\r\n+CSQ: 17,99\r\n\r\nOK\r\n"},
                  {"AT+CGMI\r", "\r\nhuawei\r\n\r\nOK\r\n\r\nNO CARRIER\r\n"},
                  {"AT+CPIN?\r", "\r\n+CPIN: READY\r\n\r\nOK\r\n+CPIN: READY\r\n"},
                  {"AT+CREG?\r", "\r\n+CREG: 0,1\r\n\r\nOK\r\nlate text\r\n"},
                  {"at+cscs=?\r", "\r\n+CSCS: (\"IRA\",\"GSM\",\"UCS2\")\r\n\r\nOK\r\n"},
                  {"AT+CGMM\r", "\r\n^RSSI:9\r\nAT+CGMM\r\r\nE3372\r\n\r\nOK\r\n"}},
                 {{K::kUnsolicited, "+CREG: 2"},
                  {K::kInformation, "+CSQ: 17,99"},
                  {K::kOk, "OK"},
                  {K::kInformation, "huawei"},
                  {K::kOk, "OK"},
                  {K::kUnsolicited, "NO CARRIER"},
                  {K::kInformation, "+CPIN: READY"},
                  {K::kOk, "OK"},
                  // After the final result nothing is awaited: the same line is unsolicited.
                  {K::kUnsolicited, "+CPIN: READY"},
                  {K::kInformation, "+CREG: 0,1"},
                  {K::kOk, "OK"},
                  {K::kUnsolicited, "late text"},
                  {K::kInformation, "+CSCS: (\"IRA\",\"GSM\",\"UCS2\")"},
                  {K::kOk, "OK"},
                  // An unsolicited line ahead of the echo leaves the echo an echo.
                  {K::kUnsolicited, "^RSSI:9"},
                  {K::kEcho, "AT+CGMM"},
                  {K::kInformation, "E3372"},
                  {K::kOk, "OK"}});
}

TEST(ModemAnswers, EchoOfResetJoinedToTheNextCommand) {
    // AT$RESET has no line end: the modem reads it and the next command as one line.
    ExpectEvents({{"AT$RESET", "AT$RESET"},
                  {kCscs, "AT+CSCS=\"PCCP437\"\n\r\r\nERROR\r\n"},
                  {kCmgf, "AT+CMGF=1\n\r\r\nOK\r\n"}},
                 {{K::kEcho, "AT$RESETAT+CSCS=\"PCCP437\""},
                  {K::kError, "ERROR"},
                  {K::kEcho, "AT+CMGF=1"},
                  {K::kOk, "OK"}});
    // An unsolicited line between the two halves of the echo.
    ExpectEvents({{"AT$RESET", "AT$RESET\r\n^RSSI:9\r\n"},
                  {"AT\r", "AT\r\r\nERROR\r\n"},
                  {"AT+CGMI\r", "AT+CGMI\r\r\nhuawei\r\n\r\nOK\r\n"}},
                 {{K::kEcho, "AT$RESET"},
                  {K::kUnsolicited, "^RSSI:9"},
                  {K::kEcho, "AT"},
                  {K::kError, "ERROR"},
                  {K::kEcho, "AT+CGMI"},
                  {K::kInformation, "huawei"},
                  {K::kOk, "OK"}});
}

TEST(ModemAnswers, MessageEchoIsNeverThePromptOrAnAnswer) {
    // A message that starts with "> " or "OK", or with "At", and one of several lines: the
    // modem prompts again for each further line.
    ExpectEvents({{kCmgs, "\r\n> "},
                  {"> OK\x1A\n\r", "> OK\x1A\r\n+CMGS: 4\r\n\r\nOK\r\n"},
                  {kCmgs, "\r\n> "},
                  {"At home\rOK\x1A\n\r", "At home\r\n> OK\x1A\r\n+CMGS: 5\r\n\r\nOK\r\n"},
                  {kCmgs, "\r\n> "},
                  {"OK\x1A\n\r", "\r\n+CMGS: 6\r\n\r\nOK\r\n"}},
                 {{K::kPrompt, "> "},
                  {K::kEcho, "> OK"},
                  {K::kMessageReference, "+CMGS: 4", 4},
                  {K::kOk, "OK"},
                  {K::kPrompt, "> "},
                  {K::kEcho, "At home"},
                  {K::kPrompt, "> "},
                  {K::kEcho, "OK"},
                  {K::kMessageReference, "+CMGS: 5", 5},
                  {K::kOk, "OK"},
                  // With echo off, the modem's OK is its answer, not the message again.
                  {K::kPrompt, "> "},
                  {K::kMessageReference, "+CMGS: 6", 6},
                  {K::kOk, "OK"}});
}

TEST(ModemAnswers, OverlongLineIsCutAndItsRestDropped) {
    AnswerParser parser;
    parser.Wrote("ATI\r");
    const Events events =
        parser.Feed(std::string(AnswerParser::kMaxLine + 100, 'x') + "\r\nOK\r\n");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].text, std::string(AnswerParser::kMaxLine, 'x'));
    EXPECT_EQ(events[1], (AnswerEvent{K::kOk, "OK"}));
}

TEST(ModemAnswers, TranscriptKeepsEverythingUpToItsCap) {
    AnswerParser parser;
    parser.Feed("\r\n^RSSI:14\r\n");
    parser.Wrote(kCmgf);
    parser.Feed("AT+CMGF=1\n\r\r\nOK\r\n");
    EXPECT_EQ(parser.TakeTranscript(), "\r\n^RSSI:14\r\nAT+CMGF=1\n\r\r\nOK\r\n");
    EXPECT_EQ(parser.TakeTranscript(), "");

    std::string exact(AnswerTranscript::kCap, 'a');
    parser.Feed(exact);
    EXPECT_EQ(parser.TakeTranscript(), exact);
}

TEST(ModemAnswers, TranscriptReadsAsOneLineOfText) {
    EXPECT_EQ(EscapeModemBytes("AT\n\r\r\nOK\r\n\x1A\xE4\\ \"~"),
              "AT\\n\\r\\r\\nOK\\r\\n\\x1A\\xE4\\\\ \"~");
}

TEST(ModemAnswers, TranscriptPastItsCapKeepsTheStartAndTheEnd) {
    // A flood of unsolicited lines, then the verdict, read in pieces of every size.
    std::string received;
    for (int i = 0; received.size() < 10000; ++i)
        received.append("\r\n^RSSI:").append(std::to_string(i % 32)).append("\r\n");
    received += "\r\n+CMS ERROR: 330\r\n";
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, received.size()}) {
        AnswerTranscript transcript;
        for (std::size_t at = 0; at < received.size(); at += piece) {
            transcript.Append(std::string_view(received).substr(at, piece));
        }
        const std::string text = transcript.Text();
        EXPECT_EQ(transcript.Received(), received.size());
        ASSERT_EQ(text.size(), AnswerTranscript::kCap);
        EXPECT_EQ(text.substr(0, AnswerTranscript::kHead),
                  received.substr(0, AnswerTranscript::kHead));
        const std::size_t markerEnd = text.find(" bytes left out ...]\n");
        const std::size_t markerStart = text.find("\n[... ", AnswerTranscript::kHead);
        ASSERT_EQ(markerStart, AnswerTranscript::kHead);
        ASSERT_NE(markerEnd, std::string::npos);
        const std::string tail = text.substr(markerEnd + 21);
        EXPECT_EQ(tail, received.substr(received.size() - tail.size()));
        EXPECT_TRUE(tail.ends_with("+CMS ERROR: 330\r\n"));
        const std::size_t leftOut =
            std::stoul(text.substr(markerStart + 6, markerEnd - markerStart - 6));
        EXPECT_EQ(leftOut, received.size() - AnswerTranscript::kHead - tail.size());
    }
}

// What the manager will put after "the modem refused the SMS to <number>: ".
TEST(ModemAnswers, FinalResultsAsCodesAndWords) {
    struct Case {
        AnswerKind kind;
        const char* text;
        int number;
        std::uint32_t code;
        const char* words;
    } const cases[] = {
        {K::kOk, "OK", -1, 0, "OK"},
        {K::kOk, "0", -1, 0, "0 (OK)"},
        {K::kError, "ERROR", -1, 0x80043000u, "ERROR"},
        {K::kError, "4", -1, 0x80043000u, "4 (ERROR)"},
        {K::kError, "COMMAND NOT SUPPORT", -1, 0x80043000u, "COMMAND NOT SUPPORT"},
        {K::kCmsError, "+CMS ERROR: 330", 330, 0x8004114Au,
         "+CMS ERROR: 330 (SMSC address unknown)"},
        {K::kCmsError, "+CMS ERROR:38", 38, 0x80041026u, "+CMS ERROR: 38 (network out of order)"},
        {K::kCmsError, "+CMS ERROR: 515", 515, 0x80041203u,
         "+CMS ERROR: 515 (manufacturer-specific; often: the modem is still starting or busy, "
         "try again)"},
        {K::kCmsError, "+CMS ERROR: 999", 999, 0x800413E7u, "+CMS ERROR: 999"},
        {K::kCmsError, "+CMS ERROR: 4096", 4096, 0x80043000u, "+CMS ERROR: 4096"},
        {K::kCmsError, "+CMS ERROR: SMSC address unknown", -1, 0x80043000u,
         "+CMS ERROR: SMSC address unknown"},
        {K::kCmeError, "+CME ERROR: 11", 11, 0x8004200Bu, "+CME ERROR: 11 (SIM PIN required)"},
        {K::kCmeError, "+CME ERROR: 0", 0, 0x80042000u, "+CME ERROR: 0 (phone failure)"},
        {K::kCmeError, "+CME ERROR: SIM PIN\xE4\x01", -1, 0x80043000u,
         "+CME ERROR: SIM PIN\\xE4\\x01"},
        {K::kMessageReference, "+CMGS: 17", 17, 0, "+CMGS: 17"},
    };
    for (const Case& c : cases) {
        const AnswerEvent event{c.kind, c.text, c.number};
        EXPECT_EQ(FinalResultCode(event), static_cast<HRESULT>(c.code)) << c.text;
        EXPECT_EQ(DescribeFinalResult(event), c.words);
    }
    const AnswerEvent refusal{K::kCmsError, "+CMS ERROR: 330", 330};
    EXPECT_EQ(wire::FormatHResult(FinalResultCode(refusal)) +
                  ": the modem refused the SMS to +49 170 1234567: " + DescribeFinalResult(refusal),
              "0x8004114A: the modem refused the SMS to +49 170 1234567: +CMS ERROR: 330 (SMSC "
              "address unknown)");
}

TEST(ModemAnswers, CatalogueNamesTheModemsCodes) {
    EXPECT_EQ(wire::BareFailureText(static_cast<HRESULT>(0x8004114Au)),
              "0x8004114A: the modem refused the command: +CMS ERROR: 330 (SMSC address unknown)");
    EXPECT_EQ(wire::BareFailureText(static_cast<HRESULT>(0x8004200Cu)),
              "0x8004200C: the modem refused the command: +CME ERROR: 12 (SIM PUK required)");
    EXPECT_EQ(wire::BareFailureText(static_cast<HRESULT>(0x80041FFFu)),
              "0x80041FFF: the modem refused the command: +CMS ERROR: 4095");
    EXPECT_EQ(wire::BareFailureText(static_cast<HRESULT>(0x80043000u)),
              "0x80043000: the modem refused the command");
    // Every code a send commonly meets has its words.
    const int cms[] = {21,  38,  42,  302, 303, 304, 305, 310, 311, 312, 313, 314, 315, 316,
                       317, 318, 320, 321, 322, 330, 331, 332, 500, 512, 513, 514, 515};
    for (int n : cms) EXPECT_NE(ModemErrorMeaning(ModemErrorFamily::kCms, n), nullptr) << n;
    const int cme[] = {0,  1,  2,  3,  4,  10, 11, 12, 13, 14, 15, 16,
                       17, 18, 20, 21, 22, 23, 24, 30, 31, 32, 100};
    for (int n : cme) EXPECT_NE(ModemErrorMeaning(ModemErrorFamily::kCme, n), nullptr) << n;
}

}  // namespace
}  // namespace merel::modem
