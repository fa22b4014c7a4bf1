// What `merel-sms check` reads from the lines CheckModem gives: answers as modems write them
// (bare and "+CGMI:" identifications, unsolicited lines among the answers, quoted commas), and
// the first problem with what to do about it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/modem_check.h"

namespace merel::cli {
namespace {

// The answers of a modem ready to send, as the simulator gives them.
std::vector<std::string> Ready() {
    return {"AT\tOK",
            "AT+CGMI\tMerel Simulated | OK",
            "AT+CGMM\tGSM Modem | OK",
            "AT+CGMR\t1.0 | OK",
            "AT+CPIN?\t+CPIN: READY | OK",
            "AT+CSQ\t+CSQ: 17,99 | OK",
            "AT+CREG?\t+CREG: 0,1 | OK",
            "AT+COPS?\t+COPS: 0,0,\"Sim Net\" | OK",
            "AT+CSCS=?\t+CSCS: (\"IRA\",\"GSM\",\"UCS2\",\"PCCP437\") | OK"};
}

// The ready answers with the one for `command` replaced.
std::vector<std::string> With(const std::string& command, const std::string& answer) {
    std::vector<std::string> lines = Ready();
    for (std::string& line : lines) {
        if (line.substr(0, line.find('\t')) == command) line = command + "\t" + answer;
    }
    return lines;
}

TEST(ModemCheck, AReadyModemIsDescribedLineByLine) {
    const ModemCheck check = ParseModemCheck(Ready(), "/dev/ttyUSB0");
    EXPECT_TRUE(check.ready) << check.problem;
    EXPECT_EQ(ModemCheckText(check),
              "manufacturer: Merel Simulated\n"
              "model: GSM Modem\n"
              "revision: 1.0\n"
              "SIM: ready\n"
              "signal: -79 dBm (3 of 5 bars)\n"
              "network: registered, home network, operator Sim Net\n"
              "character set PCCP437: offered: text mode works\n");

    // Prefixed identifications, roaming with location fields, an operator with a comma, an
    // unsolicited line among the answers, and the first AT answered ERROR, as after a send.
    const ModemCheck other = ParseModemCheck(
        {"AT\tERROR", "AT+CGMI\t+CGMI: QUECTEL | OK", "AT+CGMM\t+CGMM: EC25 | OK",
         "AT+CGMR\tRevision: EC25EFAR06A03M4G | OK", "AT+CPIN?\t+CPIN: READY | OK",
         "AT+CSQ\t^RSSI: 12 | +CSQ: 31,0 | OK", "AT+CREG?\t+CREG: 2,5,\"1A2B\",\"01C3D4E5\" | OK",
         "AT+COPS?\t+COPS: 0,0,\"Tele, Net\",7 | OK", "AT+CSCS=?\t+CSCS: (\"IRA\",\"GSM\") | OK"},
        "/dev/ttyUSB2");
    EXPECT_TRUE(other.ready) << other.problem;
    EXPECT_EQ(other.manufacturer, "QUECTEL");
    EXPECT_EQ(other.model, "EC25");
    EXPECT_EQ(other.revision, "Revision: EC25EFAR06A03M4G");
    EXPECT_EQ(other.registration, Registration::kRoaming);
    EXPECT_EQ(other.operatorName, "Tele, Net");
    EXPECT_EQ(other.pccp437, false);
    EXPECT_NE(ModemCheckText(other).find("signal: -51 dBm (5 of 5 bars)\n"), std::string::npos);
    EXPECT_NE(ModemCheckText(other).find("PCCP437: not offered: text mode would garble the "
                                         "text; use --mode pdu"),
              std::string::npos);
}

TEST(ModemCheck, SignalInDbmAndBars) {
    EXPECT_EQ(SignalDbm(0), -113);
    EXPECT_EQ(SignalDbm(31), -51);
    EXPECT_EQ(SignalBars(0), 0);
    EXPECT_EQ(SignalBars(1), 1);
    EXPECT_EQ(SignalBars(12), 2);
    EXPECT_EQ(SignalBars(13), 3);
    EXPECT_EQ(SignalBars(31), 5);
    // 99: not known; a registered modem is ready all the same.
    const ModemCheck unknown = ParseModemCheck(With("AT+CSQ", "+CSQ: 99,99 | OK"), "p");
    EXPECT_FALSE(unknown.rssi);
    EXPECT_TRUE(unknown.ready);
    EXPECT_NE(ModemCheckText(unknown).find("\nsignal: unknown\n"), std::string::npos);
}

// The first problem is the one reported, with what to do about it.
TEST(ModemCheck, TheFirstProblemAndItsHint) {
    struct Row {
        std::vector<std::string> lines;
        std::string problem, hint;
    } rows[] = {
        {With("AT+CPIN?", "+CPIN: SIM PIN | OK"), "the SIM is locked: it wants its PIN (SIM PIN)",
         "AT+CPIN=<pin>"},
        {With("AT+CPIN?", "+CPIN: SIM PUK | OK"), "the SIM is locked: it wants its PUK (SIM PUK)",
         "PUK"},
        {With("AT+CPIN?", "+CME ERROR: 10"),
         "the SIM is not ready: +CME ERROR: 10 (SIM not inserted)", "SIM card sits in its slot"},
        {With("AT+CPIN?", "(no answer)"), "the modem did not tell the state of its SIM",
         "merel-sms -v check"},
        {With("AT+CREG?", "+CREG: 0,2 | OK"),
         "the modem is not registered in a network: not registered, searching", "antenna"},
        {With("AT+CREG?", "+CREG: 0,3 | OK"),
         "the modem is not registered in a network: registration denied", "operator"},
        {With("AT+CREG?", "+CREG: 0,0 | OK"),
         "the modem is not registered in a network: not registered, not searching", "signal"},
        {With("AT+CREG?", "ERROR"), "the modem did not tell whether it is registered", "AT port"},
    };
    for (const Row& row : rows) {
        const ModemCheck check = ParseModemCheck(row.lines, "/dev/ttyUSB0");
        SCOPED_TRACE(row.problem);
        EXPECT_FALSE(check.ready);
        EXPECT_EQ(check.problem.rfind(row.problem, 0), 0u) << check.problem;
        EXPECT_NE(check.hint.find(row.hint), std::string::npos) << check.hint;
    }
    // A PIN problem comes before the network it keeps the modem from.
    std::vector<std::string> both = With("AT+CPIN?", "+CPIN: SIM PIN | OK");
    both[6] = "AT+CREG?\t+CREG: 0,0 | OK";
    EXPECT_NE(ParseModemCheck(both, "p").problem.find("PIN"), std::string::npos);
}

TEST(ModemCheck, NothingAnsweringNamesThePortAndTheLikelyCauses) {
    std::vector<std::string> silent;
    for (const std::string& line : Ready())
        silent.push_back(line.substr(0, line.find('\t')) + "\t(no answer)");
    const ModemCheck check = ParseModemCheck(silent, "/dev/ttyUSB0");
    EXPECT_FALSE(check.anyAnswer);
    EXPECT_FALSE(check.ready);
    EXPECT_EQ(check.problem, "Nothing answers on /dev/ttyUSB0");
    for (const char* cause :
         {"AT port", "systemctl stop ModemManager", "ENV{ID_MM_DEVICE_IGNORE}=\"1\""}) {
        EXPECT_NE(check.hint.find(cause), std::string::npos) << cause;
    }
    EXPECT_EQ(ModemCheckText(check), "");
    // An ERROR to the first AT alone is an answer: something is there.
    silent[0] = "AT\tERROR";
    EXPECT_TRUE(ParseModemCheck(silent, "p").anyAnswer);
}

// The refusals are the three families' ranges, and nothing next to them.
TEST(ModemCheck, RefusalsAreTheModemsRanges) {
    for (const std::uint32_t hr : {0x80041000u, 0x8004114Au, 0x80042FFFu, 0x80043000u}) {
        EXPECT_TRUE(IsModemRefusal(static_cast<HRESULT>(hr))) << std::hex << hr;
        EXPECT_NE(ModemRefusalHint(static_cast<HRESULT>(hr)), "");
    }
    for (const std::uint32_t other : {0x80040FFFu, 0x80044000u, 0x800705B4u, 0x80070057u}) {
        EXPECT_FALSE(IsModemRefusal(static_cast<HRESULT>(other))) << std::hex << other;
        EXPECT_EQ(ModemRefusalHint(static_cast<HRESULT>(other)), "");
    }
}

}  // namespace
}  // namespace merel::cli
