#include "cli/modem_check.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>

#include "base/modem_errors.h"

namespace merel::cli {

const char* const kPinHint =
    "the SIM wants its PIN: enter it from a terminal program on the port (AT+CPIN=<pin>) or "
    "with ModemManager (mmcli -i 0 --pin=<pin>), or put the SIM in a phone and switch its PIN "
    "lock off; a SIM that wants its PUK needs the PUK from the operator";
const char* const kNetworkHint =
    "the modem has no network: check the signal (merel-sms check shows it) and the antenna, "
    "move the modem or the antenna, and make sure the SIM's contract is active";

namespace {

constexpr std::string_view kNoAnswer = "(no answer)";
constexpr std::string_view kSeparator = " | ";

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

// One query's answer: the information lines and the final result; none when not answered.
struct Answer {
    std::vector<std::string> info;
    std::string final;
};

bool IsFinalResult(std::string_view line) {
    return line == "OK" || line == "ERROR" || line.starts_with("+CME ERROR") ||
           line.starts_with("+CMS ERROR");
}

std::optional<Answer> SplitAnswer(std::string_view answer) {
    answer = Trim(answer);
    if (answer.empty() || answer == kNoAnswer) return std::nullopt;
    Answer split;
    for (std::size_t from = 0;;) {
        const std::size_t at = answer.find(kSeparator, from);
        const std::string_view line = Trim(answer.substr(from, at - from));
        if (!line.empty()) split.info.emplace_back(line);
        if (at == std::string_view::npos) break;
        from = at + kSeparator.size();
    }
    if (!split.info.empty() && IsFinalResult(split.info.back())) {
        split.final = split.info.back();
        split.info.pop_back();
    }
    return split;
}

// The value after "+NAME:" of the first line that carries it.
std::optional<std::string> Field(const Answer& answer, std::string_view name) {
    for (const std::string& line : answer.info) {
        const std::string_view view(line);
        if (view.starts_with(name) && view.substr(name.size()).starts_with(":")) {
            return std::string(Trim(view.substr(name.size() + 1)));
        }
    }
    return std::nullopt;
}

// The identification queries answer with a bare text, some modems with "+CGMI: text".
std::string Identification(const std::optional<Answer>& answer, std::string_view name) {
    if (!answer || answer->info.empty() || answer->final != "OK") return {};
    if (const auto field = Field(*answer, name)) return std::string(Trim(*field));
    std::string text;
    for (const std::string& line : answer->info) text += (text.empty() ? "" : " ") + line;
    return text;
}

std::vector<std::string> SplitFields(std::string_view text) {
    std::vector<std::string> fields;
    bool quoted = false;
    std::string field;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back(Trim(field));
            field.clear();
        } else {
            field += c;
        }
    }
    fields.emplace_back(Trim(field));
    return fields;
}

std::optional<int> Number(const std::string& text) {
    if (text.empty() || text.size() > 4 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        })) {
        return std::nullopt;
    }
    return std::stoi(text);
}

// What a refused query says, with the meaning of its number.
std::string RefusalWords(const std::string& final) {
    for (const auto& [prefix, family] :
         {std::pair<std::string_view, ModemErrorFamily>{"+CME ERROR:", ModemErrorFamily::kCme},
          {"+CMS ERROR:", ModemErrorFamily::kCms}}) {
        if (!std::string_view(final).starts_with(prefix)) continue;
        if (const auto n =
                Number(std::string(Trim(std::string_view(final).substr(prefix.size()))))) {
            return ModemErrorText(family, *n);
        }
    }
    return final;
}

void ReadSim(ModemCheck& check, const std::optional<Answer>& answer) {
    if (!answer) return;
    if (const auto state = Field(*answer, "+CPIN")) {
        check.sim = *state;
        check.simReady = *state == "READY";
    } else if (!answer->final.empty() && answer->final != "OK") {
        check.sim = RefusalWords(answer->final);
    }
}

void ReadSignal(ModemCheck& check, const std::optional<Answer>& answer) {
    if (!answer) return;
    const auto value = Field(*answer, "+CSQ");
    if (!value) return;
    const auto rssi = Number(SplitFields(*value).front());
    if (rssi && *rssi <= 31) check.rssi = *rssi;
}

void ReadRegistration(ModemCheck& check, const std::optional<Answer>& answer) {
    if (!answer) return;
    const auto value = Field(*answer, "+CREG");
    if (!value) return;
    // "+CREG: n,stat[,lac,ci]"; an unsolicited "+CREG: stat" has the state alone.
    const std::vector<std::string> fields = SplitFields(*value);
    const auto stat = Number(fields.size() >= 2 ? fields[1] : fields[0]);
    if (stat && *stat <= 5) check.registration = static_cast<Registration>(*stat);
}

void ReadOperator(ModemCheck& check, const std::optional<Answer>& answer) {
    if (!answer) return;
    const auto value = Field(*answer, "+COPS");
    if (!value) return;
    // "+COPS: mode[,format,oper[,AcT]]": no operator when none is selected.
    const std::vector<std::string> fields = SplitFields(*value);
    if (fields.size() >= 3) check.operatorName = fields[2];
}

void ReadCharacterSets(ModemCheck& check, const std::optional<Answer>& answer) {
    if (!answer) return;
    if (const auto value = Field(*answer, "+CSCS")) {
        std::string upper = *value;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        check.pccp437 = upper.find("PCCP437") != std::string::npos;
    } else if (answer->final == "ERROR") {
        check.pccp437 = false;  // a modem without the query has no such set to offer
    }
}

bool Registered(const ModemCheck& check) {
    return check.registration == Registration::kHome ||
           check.registration == Registration::kRoaming;
}

void Decide(ModemCheck& check, const std::string& port) {
    if (!check.anyAnswer) {
        check.problem = "Nothing answers on " + port;
        check.hint =
            "the port may not be the modem's AT port (USB modems have several ports; try the "
            "others: merel-sms ports), or another program holds it, such as ModemManager: "
            "stop it (sudo systemctl stop ModemManager) or make it leave the modem alone with "
            "a udev rule that sets ENV{ID_MM_DEVICE_IGNORE}=\"1\"; check also the baud rate "
            "(merel-sms configure --baud) and that the modem is switched on";
        return;
    }
    if (!check.sim.empty() && !check.simReady) {
        if (check.sim.find("PIN") != std::string::npos ||
            check.sim.find("PUK") != std::string::npos) {
            check.problem =
                "the SIM is locked: it wants its " +
                std::string(check.sim.find("PUK") != std::string::npos ? "PUK" : "PIN") + " (" +
                check.sim + ")";
            check.hint = kPinHint;
        } else {
            check.problem = "the SIM is not ready: " + check.sim;
            check.hint =
                "switch the modem off, check that the SIM card sits in its slot the "
                "right way round, and switch it on again";
        }
        return;
    }
    // A modem that answers but keeps quiet on these is no modem to rely on.
    const char* kAnswersHint =
        "merel-sms -v check shows what the modem answered; the port may not be the modem's AT "
        "port (USB modems have several: merel-sms ports)";
    if (check.sim.empty()) {
        check.problem = "the modem did not tell the state of its SIM (AT+CPIN?)";
        check.hint = kAnswersHint;
        return;
    }
    if (!check.registration) {
        check.problem = "the modem did not tell whether it is registered in a network (AT+CREG?)";
        check.hint = kAnswersHint;
        return;
    }
    if (!Registered(check)) {
        check.problem = std::string("the modem is not registered in a network: ") +
                        RegistrationWords(*check.registration);
        if (check.registration == Registration::kDenied) {
            check.hint =
                "the network refused the SIM: ask the operator whether the SIM is "
                "active and may use this network";
        } else {
            check.hint = kNetworkHint;
        }
        return;
    }
    check.ready = true;
}

}  // namespace

int SignalDbm(int rssi) {
    return -113 + 2 * rssi;
}

int SignalBars(int rssi) {
    // Five steps of about 12 dB above the floor of -113 dBm.
    return rssi <= 0 ? 0 : std::min(5, 1 + (rssi - 1) / 6);
}

namespace {

// The words for a person and the one word for scripts, in the order of the enumeration (the
// states of +CREG).
struct RegistrationText {
    const char* words;
    const char* name;
};
constexpr RegistrationText kRegistrationTexts[] = {
    {"not registered, not searching", "not searching"},
    {"registered, home network", "home"},
    {"not registered, searching", "searching"},
    {"registration denied", "denied"},
    {"unknown", "unknown"},
    {"registered, roaming", "roaming"},
};

const RegistrationText& TextOf(Registration registration) {
    return kRegistrationTexts[static_cast<std::size_t>(registration)];
}

}  // namespace

const char* RegistrationWords(Registration registration) {
    return TextOf(registration).words;
}

const char* RegistrationName(Registration registration) {
    return TextOf(registration).name;
}

ModemCheck ParseModemCheck(const std::vector<std::string>& lines, const std::string& port) {
    ModemCheck check;
    struct Query {
        std::string_view command;
        std::optional<Answer> answer;
    } queries[] = {{"AT", {}},       {"AT+CGMI", {}},  {"AT+CGMM", {}},
                   {"AT+CGMR", {}},  {"AT+CPIN?", {}}, {"AT+CSQ", {}},
                   {"AT+CREG?", {}}, {"AT+COPS?", {}}, {"AT+CSCS=?", {}}};
    for (const std::string& line : lines) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string_view command = std::string_view(line).substr(0, tab);
        for (Query& query : queries) {
            if (query.command != command) continue;
            query.answer = SplitAnswer(std::string_view(line).substr(tab + 1));
            // The first AT may meet the end of an earlier send on the modem's line and be
            // answered ERROR; any answer still shows that something is there.
            check.anyAnswer = check.anyAnswer || query.answer.has_value();
        }
    }
    check.manufacturer = Identification(queries[1].answer, "+CGMI");
    check.model = Identification(queries[2].answer, "+CGMM");
    check.revision = Identification(queries[3].answer, "+CGMR");
    ReadSim(check, queries[4].answer);
    ReadSignal(check, queries[5].answer);
    ReadRegistration(check, queries[6].answer);
    ReadOperator(check, queries[7].answer);
    ReadCharacterSets(check, queries[8].answer);
    Decide(check, port);
    return check;
}

std::string ModemCheckText(const ModemCheck& check) {
    if (!check.anyAnswer) return {};
    const auto known = [](const std::string& value) {
        return value.empty() ? std::string("(no answer)") : value;
    };
    std::string text = "manufacturer: " + known(check.manufacturer) +
                       "\nmodel: " + known(check.model) + "\nrevision: " + known(check.revision) +
                       "\nSIM: ";
    if (check.simReady) {
        text += "ready";
    } else {
        text += check.sim.empty() ? "(no answer)" : check.sim;
    }
    text += "\nsignal: ";
    if (check.rssi) {
        text += std::to_string(SignalDbm(*check.rssi)) + " dBm (" +
                std::to_string(SignalBars(*check.rssi)) + " of 5 bars)";
    } else {
        text += "unknown";
    }
    text += "\nnetwork: ";
    text += check.registration ? RegistrationWords(*check.registration) : "(no answer)";
    if (!check.operatorName.empty()) text += ", operator " + check.operatorName;
    text += "\ncharacter set PCCP437: ";
    if (!check.pccp437) {
        text += "(no answer)";
    } else if (*check.pccp437) {
        text += "offered: text mode works";
    } else {
        text +=
            "not offered: text mode would garble the text; use --mode pdu (or merel-sms "
            "configure --mode pdu)";
    }
    return text + "\n";
}

bool IsModemRefusal(HRESULT hr) {
    const auto code = static_cast<std::uint32_t>(hr);
    return code >= static_cast<std::uint32_t>(kModemCmsErrorBase) &&
           code < static_cast<std::uint32_t>(kModemError) + kModemErrorNumberLimit;
}

std::string ModemRefusalHint(HRESULT hr) {
    if (!IsModemRefusal(hr)) return {};
    const auto code = static_cast<std::uint32_t>(hr);
    const auto cms = [code](int n) {
        return code ==
               static_cast<std::uint32_t>(kModemCmsErrorBase) + static_cast<std::uint32_t>(n);
    };
    const auto cme = [code](int n) {
        return code ==
               static_cast<std::uint32_t>(kModemCmeErrorBase) + static_cast<std::uint32_t>(n);
    };
    if (cme(10) || cms(310)) {
        return "no SIM card: switch the modem off, put the SIM in (the right way round) and "
               "switch it on again";
    }
    if (cme(11) || cme(12) || cme(17) || cme(18) || cms(311) || cms(312) || cms(316) || cms(317) ||
        cms(318)) {
        return kPinHint;
    }
    if (cms(330)) {
        return "the modem does not know the SMS centre (SMSC) of the operator: set its number "
               "from a terminal program on the port, AT+CSCA=\"+…\" (the operator publishes it; "
               "a phone with the same SIM shows it), then send again";
    }
    if (cms(331) || cme(30) || cms(332) || cme(31) || cme(32)) return kNetworkHint;
    return "the modem refused the SMS; merel-sms check shows the modem's SIM, signal and network";
}

}  // namespace merel::cli
