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

// The manager's PDU-mode send of the worked example, then its text-mode send.
const std::vector<std::string> kStream = {"AT+CSCS=\"UCS2\"\n\r",
                                          "AT+CMEE=2\n\r",
                                          "AT+CMGF=0\n\r",
                                          "AT+CMGS=16\n\r",
                                          "0021000A91942143658700080400480069\x1A\n\r",
                                          "AT$RESET",
                                          "AT+CSCS=\"PCCP437\"\n\r",
                                          "AT+CMGF=1\n\r",
                                          "AT+CMGS=\"+491701234567\"\n\r",
                                          "Hello\n\rworld\x1A\n\r",
                                          "AT$RESET"};

// The commands that the splitter makes of `input` fed in chunks, then what Flush gives, marked
// "rest:" when complete and "partial:" when not.
std::vector<std::string> Split(std::string_view input, std::size_t chunk = SIZE_MAX) {
    AtStreamSplitter splitter;
    std::vector<std::string> out;
    for (std::size_t i = 0; i < input.size(); i += chunk) {
        for (const Command& c : splitter.Feed(input.substr(i, chunk), 0)) out.push_back(c.bytes);
    }
    if (auto rest = splitter.Flush()) {
        out.push_back((rest->complete ? "rest:" : "partial:") + rest->bytes);
    }
    return out;
}

// Feeds the commands to one session; gives the messages they complete.
std::vector<Message> Messages(const std::vector<std::string>& commands) {
    ModemSession session;
    std::vector<Message> messages;
    int index = 0;
    for (const std::string& bytes : commands) {
        if (auto m = session.Accept(++index, bytes)) messages.push_back(*m);
    }
    return messages;
}

TEST(ModemSimSplitter, SplitsTheManagersStreamHoweverItArrives) {
    std::string all;
    for (const std::string& s : kStream) all += s;
    // Whole, byte by byte, and in uneven chunks: always the same commands, nothing left over.
    for (std::size_t chunk : {all.size(), std::size_t{1}, std::size_t{7}, std::size_t{13}}) {
        EXPECT_EQ(Split(all, chunk), kStream) << "chunks of " << chunk;
    }
}

TEST(ModemSimSplitter, BodyEndsAtCtrlZEvenWithoutItsLineEnd) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Split("AT+CMGS=\"1\"\rtext\x1A"
                    "AT\r"),
              (V{"AT+CMGS=\"1\"\r", "text\x1A", "AT\r"}));
    // A body that says AT+CMGS= is text, and does not open another body.
    EXPECT_EQ(Split("AT+CMGS=\"1\"\n\rAT+CMGS=2\x1A\n\rAT\n\r"),
              (V{"AT+CMGS=\"1\"\n\r", "AT+CMGS=2\x1A\n\r", "AT\n\r"}));
    // At the end, a body waiting for the rest of its line end is complete; a command is not.
    EXPECT_EQ(Split("AT+CMGS=3\n\r00\x1A\n"), (V{"AT+CMGS=3\n\r", "rest:00\x1A\n"}));
    EXPECT_EQ(Split("AT+CMGF=1\n\rAT"), (V{"AT+CMGF=1\n\r", "partial:AT"}));
}

TEST(ModemSimSession, EscGivesUpTheMessageSoTheNextSendIsReadAsItsOwn) {
    // The open's ESC, a text-mode send whose body stopped after "PIN " and was cancelled, a
    // line given up, then a whole PDU-mode send.
    const std::string stream =
        "\x1B"
        "AT+CSCS=\"PCCP437\"\n\rAT+CMGF=1\n\rAT+CMGS=\"+4917011\"\n\rPIN \x1B"
        "AT+CM\x1B" +
        kStream[0] + kStream[1] + kStream[2] + kStream[3] + kStream[4] + kStream[5];
    const std::vector<std::string> commands = Split(stream, 5);
    EXPECT_EQ(commands, (std::vector<std::string>{"\x1B", "AT+CSCS=\"PCCP437\"\n\r",
                                                  "AT+CMGF=1\n\r", "AT+CMGS=\"+4917011\"\n\r",
                                                  "PIN \x1B", "AT+CM\x1B", kStream[0], kStream[1],
                                                  kStream[2], kStream[3], kStream[4], kStream[5]}));
    const std::vector<Message> messages = Messages(commands);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[0].cancelled);
    EXPECT_EQ(messages[0].number, "+4917011");
    EXPECT_EQ(messages[0].textBytes, "PIN ");
    EXPECT_EQ(MessageJson(messages[0]),
              "{\"type\":\"cancelled\",\"mode\":\"text\",\"command\":5,\"number\":\"+4917011\","
              "\"body_hex\":\"50494E20\"}");
    EXPECT_FALSE(messages[1].cancelled);
    EXPECT_EQ(messages[1].number, "+4912345678");
    EXPECT_EQ(messages[1].text, "Hi");
    // An AT+CMGS line given up before its end opens no message.
    EXPECT_TRUE(Messages({"AT+CMGS=\"1\"\x1B", "Hello\x1A\n\r"}).empty());
}

TEST(ModemSimSplitter, RecordsWhenTheFirstAndLastBytesArrived) {
    AtStreamSplitter splitter;
    EXPECT_TRUE(splitter.Feed("AT+CMGF", 10.5).empty());
    const auto done = splitter.Feed("=1\n\rAT", 20.25);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].firstMs, 10.5);
    EXPECT_EQ(done[0].lastMs, 20.25);
    EXPECT_EQ(splitter.Flush().value().firstMs, 20.25);
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
        {u"1", u"", "+1", ""},
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
    const DecodedSubmit d = DecodeSubmitPdu("07919471060040f011000b811032547698f00008aa020041");
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.number, "01234567890");
    EXPECT_EQ(d.toa, "81");
    EXPECT_EQ(d.text, "A");
    EXPECT_EQ(d.tpduOctets, 16u);

    // A user-data header is kept apart from the text.
    const DecodedSubmit h = DecodeSubmitPdu("0041000091000808050003AA02010042");
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
        // Even rounds damage a real PDU (cut it, change a digit), odd ones are random bytes.
        std::string hex = i % 2 == 0 ? valid.hex.substr(0, random() % (valid.hex.size() + 1)) : "";
        if (i % 2 == 0 && !hex.empty()) hex[random() % hex.size()] = alphabet[random() % 16];
        for (std::size_t k = i % 2 == 0 ? 0 : random() % 80; k > 0; --k) {
            hex.push_back(alphabet[random() % alphabet.size()]);
        }
        if (DecodeSubmitPdu(hex).error.empty()) {
            EXPECT_EQ(hex.size() % 2, 0u) << hex;
        }
    }
}

TEST(ModemSimSession, ReadsBothModesOfTheManager) {
    const auto messages = Messages(kStream);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(MessageJson(messages[0]),
              "{\"type\":\"message\",\"mode\":\"pdu\",\"command\":5,\"charset\":\"UCS2\","
              "\"number\":\"+4912345678\",\"text\":\"Hi\",\"toa\":\"91\",\"dcs\":\"08\","
              "\"udh\":null,\"user_data_hex\":\"00480069\","
              "\"pdu\":\"0021000A91942143658700080400480069\",\"cmgs_length\":16,"
              "\"length_ok\":true,\"error\":null}");

    const Message& text = messages[1];
    EXPECT_FALSE(text.pdu);
    EXPECT_EQ(text.command, 10);
    EXPECT_EQ(text.charset, "PCCP437");
    EXPECT_EQ(text.number, "+491701234567");
    EXPECT_EQ(text.textBytes, "Hello\n\rworld");
    EXPECT_EQ(text.text, "Hello\n\rworld");
}

// Text-mode bytes are read in the character set the modem was told: code page 437 after
// AT+CSCS="PCCP437", ISO-8859-1 without one.
TEST(ModemSimSession, TextModeBytesAreReadInTheAnnouncedCharacterSet) {
    const auto m =
        Messages({"AT+CMGF=1\n\r", "AT+CMGS=\"0170-123\"\n\r", "\xE9\x41?\x1A\n\r",
                  "AT+CSCS=\"PCCP437\"\n\r", "AT+CMGS=\"1\"\n\r", "Gr\x81\xE1\x65\x1A\n\r"});
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].number, "0170-123");
    EXPECT_EQ(m[0].textBytes, "\xE9\x41?");
    EXPECT_EQ(m[0].text, "éA?");
    EXPECT_EQ(m[1].text, "Grüße");
}

TEST(ModemSimSession, ModeAndLengthAreReadFromTheCommands) {
    const auto m =
        Messages({// Without AT+CMGF the argument of AT+CMGS tells the mode.
                  "AT+CMGS=\"123\"\r", "hi\x1A", "AT+CMGS=7\r", "0021000091000800\x1A",
                  // A wrong or missing length is reported.
                  "AT+CMGF=0\n\r", "AT+CMGS=17\n\r", "0021000A91942143658700080400480069\x1A\n\r",
                  "AT+CMGS=x\n\r", "0021000091000800\x1A\n\r", "AT$RESET"});
    ASSERT_EQ(m.size(), 4u);
    EXPECT_FALSE(m[0].pdu);
    EXPECT_TRUE(m[1].pdu);
    EXPECT_TRUE(m[1].lengthOk);
    EXPECT_EQ(m[2].cmgsLength, 17);
    EXPECT_FALSE(m[2].lengthOk);
    EXPECT_EQ(m[2].error, "");
    EXPECT_FALSE(m[3].cmgsLength.has_value());
    EXPECT_FALSE(m[3].lengthOk);
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

    // JSON strings escape only what they must.
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("\n\x01\x7F"), "\"\\u000A\\u0001\\u007F\"");
    EXPECT_EQ(JsonString("Grüße € 😀"), "\"Grüße € 😀\"");
}

TEST(ModemSimTranscript, MalformedMessageRecords) {
    const auto bad = Messages({"AT+CMGF=0\n\r", "AT+CMGS=3\n\r", "0021ZZ\x1A\n\r"});
    ASSERT_EQ(bad.size(), 1u);
    const std::string json = MessageJson(bad[0]);
    EXPECT_NE(json.find("\"number\":null"), std::string::npos);
    EXPECT_NE(json.find("\"error\":\"character 5 is not a hexadecimal digit\""), std::string::npos);
    EXPECT_NE(MessageLine(bad[0]).find("malformed"), std::string::npos);
}

}  // namespace
}  // namespace merel::modem
