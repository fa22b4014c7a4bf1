// The answering simulated modem: what it writes back for the manager's sends and for the
// queries, and when; refusals, the message given up by an early byte, and the transcript.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answerer.h"
#include "transcript.h"

namespace merel::modem {
namespace {

// What the answers due by `ms` write, one string; a message given up is shown as
// "[cancelled by XX]" where it happened.
std::string Written(Answerer& modem, double ms) {
    std::string out;
    for (const Answer& a : modem.Take(ms)) {
        if (a.kind == Answer::Kind::kCancelled) {
            out += "[cancelled by " + a.bytes + "]";
        } else {
            out += a.bytes;
        }
    }
    return out;
}

// Feeds `bytes` at `ms` and gives what the modem writes at once.
std::string Say(Answerer& modem, std::string_view bytes, double ms) {
    modem.Feed(bytes, ms);
    return Written(modem, ms);
}

std::string Echo(std::string_view command, std::string_view answer) {
    return std::string(command) + std::string(answer);
}

constexpr std::string_view kOk = "\r\nOK\r\n";
constexpr std::string_view kError = "\r\nERROR\r\n";
constexpr std::string_view kPrompt = "\r\n> ";

// A text-mode send as the manager writes it, a second apart from `ms`; gives everything the
// modem wrote up to the end of the last pause.
std::string TextSend(Answerer& modem, double ms, std::string_view body = "Hello") {
    std::string out;
    out += Say(modem, "AT+CSCS=\"PCCP437\"\n\r", ms);
    out += Say(modem, "AT+CMGF=1\n\r", ms + 1000);
    out += Say(modem, "AT+CMGS=\"+491701234567\"\n\r", ms + 2000);
    out += Say(modem, std::string(body) + "\x1A\n\r", ms + 3000);
    out += Written(modem, ms + 6000);
    out += Say(modem, "AT$RESET", ms + 6000);
    return out;
}

TEST(ModemSimAnswerer, AnswersTheManagersSendsByteForByte) {
    Answerer modem({});
    // First send: every line stands on its own.
    EXPECT_EQ(TextSend(modem, 0), Echo("AT+CSCS=\"PCCP437\"\n\r", kOk) +
                                      Echo("AT+CMGF=1\n\r", kOk) +
                                      Echo("AT+CMGS=\"+491701234567\"\n\r", kPrompt) +
                                      "\r\n+CMGS: 0\r\n\r\nOK\r\n" + "AT$RESET");
    // Second send: its first line follows the "AT$RESET" that had no line end, and fails.
    EXPECT_EQ(TextSend(modem, 10000), Echo("AT+CSCS=\"PCCP437\"\n\r", kError) +
                                          Echo("AT+CMGF=1\n\r", kOk) +
                                          Echo("AT+CMGS=\"+491701234567\"\n\r", kPrompt) +
                                          "\r\n+CMGS: 1\r\n\r\nOK\r\n" + "AT$RESET");
}

TEST(ModemSimAnswerer, TheVerdictComesAfterTheConfirmationDelay) {
    AnswerOptions options;
    options.confirmDelayMs = 2500;
    Answerer modem(options);
    Say(modem, "AT+CMGS=\"1\"\n\r", 0);
    EXPECT_EQ(Say(modem, "Hi\x1A\n\r", 1000), "");
    ASSERT_EQ(modem.NextMs(), 3500);
    EXPECT_EQ(Written(modem, 3499.9), "");
    EXPECT_EQ(Written(modem, 3500), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.NextMs(), std::nullopt);  // nothing more is planned
}

TEST(ModemSimAnswerer, TheSameAnswersWhateverWayTheBytesArrive) {
    const std::string stream =
        "\x1B"
        "AT+CSCS=\"UCS2\"\n\rAT+CMEE=2\n\rAT+CMGF=0\n\rAT+CMGS=16\n\r"
        "0021000A91942143658700080400480069\x1A\n\r";
    Answerer whole({});
    std::string expected = Say(whole, stream, 0);
    expected += Written(whole, 2500);
    EXPECT_EQ(expected, Echo("AT+CSCS=\"UCS2\"\n\r", kOk) + Echo("AT+CMEE=2\n\r", kOk) +
                            Echo("AT+CMGF=0\n\r", kOk) + Echo("AT+CMGS=16\n\r", kPrompt) +
                            "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    Answerer byByte({});
    std::string got;
    for (char c : stream) got += Say(byByte, std::string_view(&c, 1), 0);
    got += Written(byByte, 2500);
    EXPECT_EQ(got, expected);
}

TEST(ModemSimAnswerer, ReferencesCountFromZeroAndWrapAfter255) {
    Answerer modem({});
    std::vector<std::string> verdicts;
    for (int i = 0; i < 258; ++i) {
        const double ms = i * 10000.0;
        Say(modem, "AT+CMGS=\"1\"\r", ms);
        Say(modem, "x\x1A", ms + 1);
        verdicts.push_back(Written(modem, ms + 5000));
    }
    EXPECT_EQ(verdicts[0], "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    EXPECT_EQ(verdicts[1], "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(verdicts[255], "\r\n+CMGS: 255\r\n\r\nOK\r\n");
    EXPECT_EQ(verdicts[256], "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    EXPECT_EQ(verdicts[257], "\r\n+CMGS: 1\r\n\r\nOK\r\n");
}

TEST(ModemSimAnswerer, AByteBeforeTheVerdictGivesTheMessageUp) {
    Answerer modem({});
    Say(modem, "AT+CMGS=\"1\"\n\r", 0);
    // The LF CR right after Ctrl-Z belong to the message and cancel nothing.
    EXPECT_EQ(Say(modem, "Hi\x1A\n\r", 1000), "");
    // "AT$RESET" a second later, as a silent modem gets it: the message is given up, and the
    // bytes are read as a command line again.
    EXPECT_EQ(Say(modem, "AT$RESET", 2000), "[cancelled by A]AT$RESET");
    EXPECT_EQ(Written(modem, 10000), "");
    // The reference was not used up.
    Say(modem,
        "\x1B"
        "AT+CMGS=\"1\"\r",
        20000);
    Say(modem, "Hi\x1A", 20001);
    EXPECT_EQ(Written(modem, 30000), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
}

TEST(ModemSimAnswerer, EscapeGivesUpTheMessageBeingEntered) {
    Answerer modem({});
    Say(modem, "AT+CMGS=\"1\"\n\r", 0);
    EXPECT_EQ(Say(modem, "Half a te\x1B", 10), kOk);
    EXPECT_EQ(modem.NextMs(), std::nullopt);
    EXPECT_EQ(Say(modem, "AT\r", 20), Echo("AT\r", kOk));
}

TEST(ModemSimAnswerer, NeverConfirmingLeavesTheMessageOpenUntilAByteComes) {
    AnswerOptions options;
    options.neverConfirm = true;
    Answerer modem(options);
    Say(modem, "AT+CMGS=\"1\"\n\r", 0);
    EXPECT_EQ(Say(modem, "Hi\x1A\n\r", 1000), "");
    EXPECT_EQ(modem.NextMs(), std::nullopt);
    EXPECT_EQ(Written(modem, 1e9), "");
    EXPECT_EQ(Say(modem, "\x1B", 61000), "[cancelled by \x1B]");
    EXPECT_EQ(Say(modem, "AT\r", 62000), Echo("AT\r", kOk));
}

TEST(ModemSimAnswerer, RefusalsAsAsked) {
    {
        AnswerOptions options;
        options.refuseBody = 330;
        Answerer modem(options);
        EXPECT_EQ(Say(modem, "AT+CMGS=\"1\"\r", 0), Echo("AT+CMGS=\"1\"\r", kPrompt));
        Say(modem, "Hi\x1A", 1);
        EXPECT_EQ(Written(modem, 2501), "\r\n+CMS ERROR: 330\r\n");
    }
    {
        AnswerOptions options;
        options.refuseCmgs = 38;
        Answerer modem(options);
        EXPECT_EQ(Say(modem, "AT+CMGS=\"1\"\n\r", 0),
                  Echo("AT+CMGS=\"1\"\n\r", "\r\n+CMS ERROR: 38\r\n"));
        // No prompt: a body written anyway is read as a command line.
        EXPECT_EQ(Say(modem, "ATD112;\x1A\n\r", 1000), Echo("ATD112;\x1A\n\r", kOk));
        EXPECT_EQ(modem.NextMs(), std::nullopt);
    }
    {
        AnswerOptions options;
        options.simPin = true;
        Answerer modem(options);
        EXPECT_EQ(Say(modem, "AT+CPIN?\r", 0),
                  Echo("AT+CPIN?\r", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"));
        EXPECT_EQ(Say(modem, "AT+CMGS=\"1\"\r", 1),
                  Echo("AT+CMGS=\"1\"\r", "\r\n+CMS ERROR: 311\r\n"));
        // Any PIN unlocks it.
        EXPECT_EQ(Say(modem, "AT+CPIN=\"1234\"\r", 2), Echo("AT+CPIN=\"1234\"\r", kOk));
        EXPECT_EQ(Say(modem, "AT+CMGS=\"1\"\r", 3), Echo("AT+CMGS=\"1\"\r", kPrompt));
    }
}

TEST(ModemSimAnswerer, FixedAnswersToTheQueries) {
    const auto ask = [](Answerer& modem, std::string_view query) {
        const std::string line = std::string(query) + "\r";
        const std::string answer = Say(modem, line, 0);
        EXPECT_EQ(answer.substr(0, line.size()), line) << "echo of " << query;
        return answer.substr(line.size());
    };
    const auto info = [](std::string_view text) {
        return "\r\n" + std::string(text) + "\r\n\r\nOK\r\n";
    };

    Answerer modem({});
    EXPECT_EQ(ask(modem, "AT"), kOk);
    EXPECT_EQ(ask(modem, "AT+CGMI"), info("Merel Simulated"));
    EXPECT_EQ(ask(modem, "AT+CGMM"), info("GSM Modem"));
    EXPECT_EQ(ask(modem, "AT+CGMR"), info("1.0"));
    EXPECT_EQ(ask(modem, "AT+CPIN?"), info("+CPIN: READY"));
    EXPECT_EQ(ask(modem, "AT+CSQ"), info("+CSQ: 17,99"));
    EXPECT_EQ(ask(modem, "AT+CREG?"), info("+CREG: 0,1"));
    EXPECT_EQ(ask(modem, "AT+COPS?"), info("+COPS: 0,0,\"Sim Net\""));
    EXPECT_EQ(ask(modem, "AT+CSCS=?"), info("+CSCS: (\"IRA\",\"GSM\",\"UCS2\",\"PCCP437\")"));
    EXPECT_EQ(ask(modem, "at+cscs=\"pccp437\""), kOk);  // case does not matter
    EXPECT_EQ(ask(modem, "AT+CSCS?"), info("+CSCS: \"PCCP437\""));
    EXPECT_EQ(ask(modem, "AT+CSCS=\"8859-1\""), kError);
    EXPECT_EQ(ask(modem, "AT+CMGF=2"), kError);
    EXPECT_EQ(ask(modem, "AT+CMEE=2"), kOk);
    EXPECT_EQ(ask(modem, "ATZ"), kOk);

    AnswerOptions options;
    options.noPccp437 = true;
    options.simPin = true;
    Answerer other(options);
    EXPECT_EQ(ask(other, "AT+CSCS=?"), info("+CSCS: (\"IRA\",\"GSM\",\"UCS2\")"));
    EXPECT_EQ(ask(other, "AT+CSCS=\"PCCP437\""), kError);
    EXPECT_EQ(ask(other, "AT+CREG?"), info("+CREG: 0,0"));
    EXPECT_EQ(ask(other, "AT+COPS?"), info("+COPS: 0"));
}

TEST(ModemSimAnswerer, ReadsCommandLinesAsAModemDoes) {
    Answerer modem({});
    // Text before "AT" does not count; Backspace deletes; other control characters take no
    // part; ESC gives the line up without an answer.
    EXPECT_EQ(Say(modem, "xyAT+CMGF=3\b1\t\n\r", 0), Echo("xyAT+CMGF=3\b1\t\n\r", kOk));
    EXPECT_EQ(Say(modem, "AT$RESET\x1B", 1), "AT$RESET");
    EXPECT_EQ(Say(modem, "AT+CSCS=\"GSM\"\r", 2), Echo("AT+CSCS=\"GSM\"\r", kOk));
    // A line without "AT" is no command, and an unknown form is an error.
    EXPECT_EQ(Say(modem, "hello\r", 3), "hello\r");
    EXPECT_EQ(Say(modem, "AT+CSQ!\r", 4), Echo("AT+CSQ!\r", kError));
    // ATE0 stops the echo, ATE1 brings it back.
    EXPECT_EQ(Say(modem, "ATE0\r", 5), Echo("ATE0\r", kOk));
    EXPECT_EQ(Say(modem, "AT\r", 6), kOk);
    EXPECT_EQ(Say(modem, "ATE1\r", 7), kOk);
    EXPECT_EQ(Say(modem, "AT\r", 8), Echo("AT\r", kOk));
}

TEST(ModemSimAnswerer, UnsolicitedLinesEvery300MsButNotIntoAMessage) {
    AnswerOptions options;
    options.urc = true;
    Answerer modem(options);
    EXPECT_EQ(modem.NextMs(), 300);
    EXPECT_EQ(Written(modem, 300), "\r\n^RSSI: 17\r\n");
    EXPECT_EQ(Written(modem, 600), "\r\n+CREG: 1\r\n");
    // Between the prompt and the Ctrl-Z none comes; the verdict's wait may have them.
    Say(modem, "AT+CMGS=\"1\"\r", 650);
    EXPECT_EQ(modem.NextMs(), std::nullopt);
    EXPECT_EQ(Written(modem, 2000), "");
    EXPECT_EQ(Say(modem, "Hi\x1A", 2000), "\r\n^RSSI: 17\r\n");
    EXPECT_EQ(Written(modem, 4500), "\r\n+CREG: 1\r\n\r\n+CMGS: 0\r\n\r\nOK\r\n");
}

TEST(ModemSimTranscript, AnswersAndAMessageGivenUpByAnEarlyByte) {
    Answer ok;
    ok.bytes = "\r\nERROR\r\n";
    ok.note = "why";
    EXPECT_EQ(AnswerJson(ok, 1500.25, std::nullopt),
              "{\"type\":\"answer\",\"t_ms\":1500.250,\"bytes_hex\":\"0D0A4552524F520D0A\","
              "\"text\":\"<CR><LF>ERROR<CR><LF>\",\"note\":\"why\"}");
    EXPECT_EQ(AnswerLine(ok, 1500.25, std::nullopt),
              "  <- at 1500.250 ms: <CR><LF>ERROR<CR><LF>  (why)");

    Message sent;
    sent.command = 4;
    sent.number = "+49";
    sent.textBytes = "Hi";
    Answer cancelled;
    cancelled.kind = Answer::Kind::kCancelled;
    cancelled.bytes = "A";
    EXPECT_EQ(AnswerJson(cancelled, 2000, sent),
              "{\"type\":\"cancelled\",\"mode\":\"text\",\"command\":4,\"number\":\"+49\","
              "\"body_hex\":\"4869\",\"reason\":\"early byte\",\"t_ms\":2000.000,"
              "\"byte_hex\":\"41\"}");
    EXPECT_EQ(AnswerLine(cancelled, 2000, sent),
              "  => text-mode SMS to \"+49\" cancelled at 2000.000 ms: A arrived before the "
              "modem's verdict: nothing sent");
}

}  // namespace
}  // namespace merel::modem
