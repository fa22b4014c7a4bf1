// The simulated modem's reading of the command stream: splitting, PDU decoding, the session
// that pairs AT+CMGS with its body, and the transcript records.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "at_stream.h"
#include "pdu_decode.h"
#include "session.h"
#include "sms/pdu.h"
#include "transcript.h"

namespace merel::modem {
namespace {

using namespace std::string_literals;

// The manager's PDU-mode send of the worked example, then its text-mode send.
const std::vector<std::string> kStream = {
    "AT+CSCS=\"UCS2\"\n\r",
    "AT+CMEE=2\n\r",
    "AT+CMGF=0\n\r",
    "AT+CMGS=16\n\r",
    "0021000A91942143658700080400480069\x1A\n\r",
    "AT$RESET",
    "AT+CSCS=\"PCCP437\"\n\r",
    "AT+CMGF=1\n\r",
    "AT+CMGS=\"+491701234567\"\n\r",
    "Hello\n\rworld\x1A\n\r",
    "AT$RESET",
};

std::vector<std::string> BytesOf(const std::vector<Command>& commands) {
    std::vector<std::string> out;
    for (const Command& c : commands) out.push_back(c.bytes);
    return out;
}

std::string Joined() {
    std::string all;
    for (const std::string& s : kStream) all += s;
    return all;
}

TEST(ModemSimSplitter, SplitsTheManagersStreamHoweverItArrives) {
    const std::string all = Joined();
    // Whole, byte by byte, and in uneven chunks: always the same commands.
    for (std::size_t chunk : {all.size(), std::size_t{1}, std::size_t{7}, std::size_t{13}}) {
        AtStreamSplitter splitter;
        std::vector<Command> commands;
        for (std::size_t i = 0; i < all.size(); i += chunk) {
            for (Command& c : splitter.Feed(std::string_view(all).substr(i, chunk), 0)) {
                commands.push_back(std::move(c));
            }
        }
        EXPECT_EQ(BytesOf(commands), kStream) << "chunks of " << chunk;
        EXPECT_FALSE(splitter.Flush().has_value());
    }
}

TEST(ModemSimSplitter, ResetIsACommandAsSoonAsItIsComplete) {
    AtStreamSplitter splitter;
    EXPECT_TRUE(splitter.Feed("AT$RESE", 1).empty());
    const auto done = splitter.Feed("T", 2);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].bytes, "AT$RESET");
    EXPECT_FALSE(splitter.Flush().has_value());
}

TEST(ModemSimSplitter, RecordsWhenTheFirstAndLastBytesArrived) {
    AtStreamSplitter splitter;
    EXPECT_TRUE(splitter.Feed("AT+CMGF", 10.5).empty());
    const auto done = splitter.Feed("=1\n\rAT", 20.25);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].firstMs, 10.5);
    EXPECT_EQ(done[0].lastMs, 20.25);
    const auto rest = splitter.Flush();
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(rest->bytes, "AT");
    EXPECT_FALSE(rest->complete);
    EXPECT_EQ(rest->firstMs, 20.25);
}

TEST(ModemSimSplitter, BodyEndsAtCtrlZEvenWithoutItsLineEnd) {
    AtStreamSplitter splitter;
    const auto done = splitter.Feed(
        "AT+CMGS=\"1\"\rtext\x1A"
        "AT\r",
        0);
    EXPECT_EQ(BytesOf(done), (std::vector<std::string>{"AT+CMGS=\"1\"\r", "text\x1A", "AT\r"}));

    // A body that says AT+CMGS= is text, and does not open another body.
    AtStreamSplitter again;
    const auto more = again.Feed("AT+CMGS=\"1\"\n\rAT+CMGS=2\x1A\n\rAT\n\r", 0);
    EXPECT_EQ(BytesOf(more),
              (std::vector<std::string>{"AT+CMGS=\"1\"\n\r", "AT+CMGS=2\x1A\n\r", "AT\n\r"}));
}

TEST(ModemSimSplitter, BodyWaitingForItsLineEndIsCompleteAtTheEnd) {
    AtStreamSplitter splitter;
    splitter.Feed("AT+CMGS=3\n\r", 0);
    EXPECT_TRUE(splitter.Feed("00\x1A\n", 0).empty());
    const auto rest = splitter.Flush();
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(rest->bytes, "00\x1A\n");
    EXPECT_TRUE(rest->complete);
}

TEST(ModemSimPduDecode, ReadsWhatTheEncoderWrites) {
    struct Case {
        std::u16string number, text;
        std::string decodedNumber, decodedText;
    };
    const Case cases[] = {
        {u"4912345678", u"Hi", "+4912345678", "Hi"},
        {u"+491701234567", u"Gr\u00FC\u00DFe \u20AC", "+491701234567", "Grüße €"},
        {u"4917012345678", u"\U0001F600", "+4917012345678", "😀"},
        {u"", u"", "", ""},
    };
    for (const Case& c : cases) {
        EncodedPdu pdu;
        ASSERT_EQ(EncodeSubmitPdu(c.number, c.text, pdu), kS_OK);
        const DecodedSubmit d = DecodeSubmitPdu(pdu.hex);
        EXPECT_EQ(d.error, "");
        EXPECT_EQ(d.number, c.decodedNumber);
        EXPECT_EQ(d.text, c.decodedText);
        EXPECT_EQ(d.toa, "91");
        EXPECT_EQ(d.dcs, "08");
        EXPECT_EQ(d.tpduOctets, pdu.length);
    }
}

TEST(ModemSimPduDecode, OptionalFieldsOfOtherSenders) {
    // A service-centre address, a relative validity period, a national number, lower case.
    const DecodedSubmit d = DecodeSubmitPdu(
        "07919471060040f0"
        "11"
        "00"
        "0b"
        "81"
        "1032547698f0"
        "00"
        "08"
        "aa"
        "02"
        "0041");
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.number, "01234567890");
    EXPECT_EQ(d.toa, "81");
    EXPECT_EQ(d.text, "A");
    EXPECT_EQ(d.tpduOctets, 16u);

    // A user-data header is kept apart from the text.
    const DecodedSubmit h = DecodeSubmitPdu(
        "00"
        "41"
        "00"
        "00"
        "91"
        "00"
        "08"
        "08"
        "050003AA0201"
        "0042"s);
    EXPECT_EQ(h.error, "");
    EXPECT_EQ(h.udh, "050003AA0201");
    EXPECT_EQ(h.text, "B");

    // Seven-bit data is shown as hex only.
    const DecodedSubmit g = DecodeSubmitPdu("0021000091000002C834");
    EXPECT_EQ(g.error, "");
    EXPECT_FALSE(g.text.has_value());
    EXPECT_EQ(g.userDataHex, "C834");
}

TEST(ModemSimPduDecode, MalformedPdusAreNamedNotTrusted) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "empty PDU"},
        {"0021000", "odd number of hexadecimal digits"},
        {"00210+0C91", "character 6 is not a hexadecimal digit"},
        {"05", "service-centre address runs past the end"},
        {"00", "no first octet"},
        {"0000000091000800", "not an SMS-SUBMIT (message type 0)"},
        {"0021000A9194214365", "destination address runs past the end"},
        {"0021000391214300080400480069", "address filler is not F"},
        {"0021000491214F000800", "address digit 3 is the filler F"},
        {"0021000091000804004800", "user data shorter than its length 4"},
        {"002100009100080200480069", "2 octets after the user data"},
        {"0021000091000803004800", "odd number of octets in UCS2 user data"},
        {"0021000091000802004800", "1 octet after the user data"},
    };
    for (const auto& [hex, error] : cases) {
        EXPECT_EQ(DecodeSubmitPdu(hex).error, error) << hex;
    }
    // The length that AT+CMGS must announce is still known for a PDU cut short.
    EXPECT_EQ(DecodeSubmitPdu("0021000091000804004800").tpduOctets, 10u);
}

TEST(ModemSimPduDecode, ArbitraryInputNeverBreaksTheDecoder) {
    std::mt19937 random(20240607);
    const std::string alphabet = "0123456789ABCDEFabcdef+ \x1A";
    EncodedPdu valid;
    ASSERT_EQ(EncodeSubmitPdu(u"+4917012345678", u"Hello \U0001F600", valid), kS_OK);
    for (int i = 0; i < 5000; ++i) {
        std::string hex;
        if (i % 2 == 0) {
            // Damage a real PDU: cut it, change a digit.
            hex = valid.hex.substr(0, random() % (valid.hex.size() + 1));
            if (!hex.empty()) hex[random() % hex.size()] = "0123456789ABCDEF"[random() % 16];
        } else {
            const std::size_t length = random() % 80;
            for (std::size_t k = 0; k < length; ++k)
                hex.push_back(alphabet[random() % alphabet.size()]);
        }
        const DecodedSubmit d = DecodeSubmitPdu(hex);
        if (d.error.empty()) {
            EXPECT_EQ(hex.size() % 2, 0u);
        }
    }
}

TEST(ModemSimSession, ReadsBothModesOfTheManager) {
    ModemSession session;
    std::vector<Message> messages;
    int index = 0;
    for (const std::string& bytes : kStream) {
        if (auto m = session.Accept(++index, bytes)) messages.push_back(*m);
    }
    ASSERT_EQ(messages.size(), 2u);

    const Message& pdu = messages[0];
    EXPECT_TRUE(pdu.pdu);
    EXPECT_EQ(pdu.command, 5);
    EXPECT_EQ(pdu.charset, "UCS2");
    EXPECT_EQ(pdu.pduHex, "0021000A91942143658700080400480069");
    EXPECT_EQ(pdu.cmgsLength, 16);
    EXPECT_TRUE(pdu.lengthOk);
    EXPECT_EQ(pdu.number, "+4912345678");
    EXPECT_EQ(pdu.text, "Hi");

    const Message& text = messages[1];
    EXPECT_FALSE(text.pdu);
    EXPECT_EQ(text.command, 10);
    EXPECT_EQ(text.charset, "PCCP437");
    EXPECT_EQ(text.number, "+491701234567");
    EXPECT_EQ(text.textBytes, "Hello\n\rworld");
    EXPECT_EQ(text.text, "Hello\n\rworld");
}

TEST(ModemSimSession, TextModeBytesAreReadAsLatin1) {
    ModemSession session;
    session.Accept(1, "AT+CMGF=1\n\r");
    session.Accept(2, "AT+CMGS=\"0170-123\"\n\r");
    const auto m = session.Accept(3, "\xE9\x41?\x1A\n\r");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->number, "0170-123");
    EXPECT_EQ(m->textBytes, "\xE9\x41?");
    EXPECT_EQ(m->text, "éA?");
}

TEST(ModemSimSession, WrongOrMissingLengthIsReported) {
    ModemSession session;
    session.Accept(1, "AT+CMGF=0\n\r");
    session.Accept(2, "AT+CMGS=17\n\r");
    const auto wrong = session.Accept(3, "0021000A91942143658700080400480069\x1A\n\r");
    ASSERT_TRUE(wrong.has_value());
    EXPECT_EQ(wrong->cmgsLength, 17);
    EXPECT_FALSE(wrong->lengthOk);
    EXPECT_EQ(wrong->error, "");

    session.Accept(4, "AT+CMGS=x\n\r");
    const auto missing = session.Accept(5, "0021000091000800\x1A\n\r");
    ASSERT_TRUE(missing.has_value());
    EXPECT_FALSE(missing->cmgsLength.has_value());
    EXPECT_FALSE(missing->lengthOk);

    // Commands between messages make none.
    EXPECT_FALSE(session.Accept(6, "AT$RESET").has_value());
}

TEST(ModemSimSession, WithoutCmgfTheArgumentTellsTheMode) {
    ModemSession session;
    session.Accept(1, "AT+CMGS=\"123\"\r");
    const auto text = session.Accept(2, "hi\x1A");
    ASSERT_TRUE(text.has_value());
    EXPECT_FALSE(text->pdu);
    session.Accept(3, "AT+CMGS=7\r");
    const auto pdu = session.Accept(4, "0021000091000800\x1A");
    ASSERT_TRUE(pdu.has_value());
    EXPECT_TRUE(pdu->pdu);
    EXPECT_TRUE(pdu->lengthOk);
}

TEST(ModemSimTranscript, CommandRecords) {
    CommandRecord r;
    r.index = 2;
    r.command.bytes = "AT+CMGS=\"1\"\n\r\x1A\x7F\xE9";
    r.command.firstMs = 1500.25;
    r.pauseMs = 1000.0004;
    EXPECT_EQ(CommandJson(r),
              "{\"type\":\"command\",\"index\":2,\"t_ms\":1500.250,\"pause_ms\":1000.000,"
              "\"bytes_hex\":\"41542B434D47533D2231220A0D1A7FE9\","
              "\"text\":\"AT+CMGS=\\\"1\\\"<LF><CR><Ctrl-Z><7F><E9>\",\"complete\":true}");
    r.pauseMs.reset();
    r.command.complete = false;
    const std::string json = CommandJson(r);
    EXPECT_NE(json.find("\"pause_ms\":null"), std::string::npos);
    EXPECT_NE(json.find("\"complete\":false"), std::string::npos);
}

TEST(ModemSimTranscript, JsonStringsEscapeOnlyWhatTheyMust) {
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("\n\x01\x7F"), "\"\\u000A\\u0001\\u007F\"");
    EXPECT_EQ(JsonString("Grüße € 😀"), "\"Grüße € 😀\"");
}

TEST(ModemSimTranscript, MessageRecords) {
    ModemSession session;
    session.Accept(1, "AT+CSCS=\"UCS2\"\n\r");
    session.Accept(2, "AT+CMGF=0\n\r");
    session.Accept(3, "AT+CMGS=16\n\r");
    const auto m = session.Accept(4, "0021000A91942143658700080400480069\x1A\n\r");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(MessageJson(*m),
              "{\"type\":\"message\",\"mode\":\"pdu\",\"command\":4,\"charset\":\"UCS2\","
              "\"number\":\"+4912345678\",\"text\":\"Hi\",\"toa\":\"91\",\"dcs\":\"08\","
              "\"udh\":null,\"user_data_hex\":\"00480069\","
              "\"pdu\":\"0021000A91942143658700080400480069\",\"cmgs_length\":16,"
              "\"length_ok\":true,\"error\":null}");

    session.Accept(5, "AT+CMGS=3\n\r");
    const auto bad = session.Accept(6, "0021ZZ\x1A\n\r");
    ASSERT_TRUE(bad.has_value());
    const std::string json = MessageJson(*bad);
    EXPECT_NE(json.find("\"number\":null"), std::string::npos);
    EXPECT_NE(json.find("\"error\":\"character 5 is not a hexadecimal digit\""), std::string::npos);
    EXPECT_NE(MessageLine(*bad).find("malformed"), std::string::npos);
}

}  // namespace
}  // namespace merel::modem
