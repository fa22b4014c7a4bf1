#include "cli/front_end.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

#include <CLI/CLI.hpp>

#include "base/narrow.h"
#include "base/cp437.h"
#include "cli/call_log.h"
#include "cli/failure.h"
#include "cli/health_check.h"
#include "interface/hresult_text.h"
#include "interface/instance_name.h"
#include "cli/json.h"
#include "cli/modem_check.h"
#include "cli/progress.h"
#include "port/pause.h"
#include "sms/submission.h"
#include "sms/rules.h"

#ifndef MEREL_VERSION
#define MEREL_VERSION "0"
#endif

namespace merel::cli {

namespace {

// What a send takes at the least: the pause after each command it writes.
constexpr int kTextModeSeconds = kTextModeCommands * kCommandPauseMs / 1000;
constexpr int kPduModeSeconds = kPduModeCommands * kCommandPauseMs / 1000;
// When the body has been written and its pause is over: from then on the send waits for the
// modem's verdict. Only "AT$RESET" follows the body.
constexpr int kTextModeBodySeconds = (kTextModeCommands - 1) * kCommandPauseMs / 1000;
constexpr int kPduModeBodySeconds = (kPduModeCommands - 1) * kCommandPauseMs / 1000;

#if defined(_WIN32)
constexpr const char* kEndOfInput = "Ctrl-Z and Enter";
#else
constexpr const char* kEndOfInput = "Ctrl-D";
#endif

const char* kUsageHint = "merel-sms --help lists the commands";

struct Options {
    bool json = false, quiet = false, verbose = false;
    ConnectOptions connect;
};

// Prints a command's outcome: `text` and `data` on success, the failure otherwise (with `data`
// too when `dataOnFailure`); gives the exit code. Every failure's JSON object has the same keys,
// null where there is nothing.
int Report(Console& io, const Options& options, const std::string& command,
           const std::optional<Failure>& failure, const std::string& text,
           const JsonObject& data = {}, bool dataOnFailure = false) {
    JsonObject head;
    if (command.empty()) {
        head.AddNull("command");
    } else {
        head.Add("command", command);
    }
    head.Add("ok", !failure);
    if (failure) {
        io.err << "merel-sms: " << failure->message << "\n";
        if (!failure->hint.empty()) io.err << "hint: " << failure->hint << "\n";
        if (failure->hr == kS_OK) {
            head.AddNull("hresult");
        } else {
            head.Add("hresult", wire::FormatHResult(failure->hr));
        }
        head.Add("error", failure->message);
        if (failure->hint.empty()) {
            head.AddNull("hint");
        } else {
            head.Add("hint", failure->hint);
        }
    } else if (!options.json && !options.quiet && !text.empty()) {
        io.out << text;
    }
    if (options.json) {
        if (!failure || dataOnFailure) head.Append(data);
        io.out << head.Text() << "\n";
    }
    io.out.flush();
    return failure ? failure->exitCode : kExitOk;
}

Failure UsageError(std::string message, std::string hint = kUsageHint) {
    return Failure{kS_OK, std::move(message), std::move(hint), kExitUsage};
}

// One command's run: its calls, its outcome and how it is reported.
class Session {
  public:
    Session(ManagerClient& client, Console& io, const Options& options, std::string command)
        : client(client), io(io), options(options), command_(std::move(command)) {}

    Failure Classify(Stage stage, HRESULT hr, std::string text) const {
        Failure failure = ClassifyFailure(
            stage, hr, std::move(text), options.connect.systemBus ? Bus::kSystem : Bus::kSession,
            client.Connected() ? Connection::kConnected : Connection::kNoBus);
        // An instance is registered, or started by systemd, under its own name.
        const std::string& modem = options.connect.modem;
        if (!modem.empty() && hr == kServerNotRegistered && client.Connected()) {
            failure.hint = options.connect.systemBus
                               ? std::string(
                                     "start it: sudo systemctl enable --now "
                                     "merel-sms-manager@")
                                     .append(modem)
                               : std::string("register it: MerelSMSManager -RegServer --instance ")
                                     .append(modem);
            failure.hint.append("; merel-sms modems lists the modems there are");
        }
        return failure;
    }

    // Makes one call; on failure records what went wrong and returns false.
    template <class Call>
    bool Do(const char* name, Stage stage, Call&& call) {
        const HRESULT hr = call();
        if (options.verbose)
            io.err << "merel-sms: " << name << ": " << wire::FormatHResult(hr) << "\n";
        if (!Failed(hr)) return true;
        failure_ = Classify(stage, hr, client.LastErrorText());
        return false;
    }

    // The client's own refusal of the input, reported as the server reports refused input.
    bool Refuse(std::string message, std::string hint) {
        failure_ = Failure{kE_INVALIDARG, std::move(message), std::move(hint), kExitDataErr};
        return false;
    }

    // A failure the client finds in what the server answered.
    bool Fail(Failure failure) {
        failure_ = std::move(failure);
        return false;
    }

    // Arguments that make no sense together with what is stored: wrong usage.
    bool Misused(std::string message, std::string hint) {
        failure_ = UsageError(std::move(message), std::move(hint));
        return false;
    }

    // A settings file that is not there yet is what `configure` is for; one that is there but
    // cannot be read must not be replaced by the defaults.
    bool ForgiveMissingSettings() {
        if (!failure_ || (failure_->hr != kFileNotFound && failure_->hr != kPathNotFound)) {
            return false;
        }
        failure_.reset();
        return true;
    }

    // Replaces the "…" that a hint leaves for the command's own options by `options`.
    void CompleteHint(const std::string& options) {
        if (!failure_) return;
        const auto at = failure_->hint.find("…");
        if (at != std::string::npos) failure_->hint.replace(at, std::string("…").size(), options);
    }

    const std::optional<Failure>& failure() const { return failure_; }

    // Prints the outcome (`text` and `data` on success; `data` on failure too when
    // `dataOnFailure`) and gives the exit code.
    int Finish(const std::string& text, const JsonObject& data = {}, bool dataOnFailure = false) {
        return Report(io, options, command_, failure_, text, data, dataOnFailure);
    }

    // Init, reporting a failure to read the settings always and a port failure only when
    // `portMatters` (the settings are then loaded, which is enough for what follows).
    bool Init(bool portMatters) {
        const HRESULT hr = client.Init();
        if (options.verbose) io.err << "merel-sms: Init: " << wire::FormatHResult(hr) << "\n";
        if (!Failed(hr)) return true;
        const std::string text = client.LastErrorText();
        Status status;
        if (!Do("GetSMSManagerStatus", Stage::kQuery,
                [&] { return client.GetSMSManagerStatus(status); })) {
            return false;
        }
        if (status.iniFileLoad && !portMatters) return true;
        failure_ = Classify(status.iniFileLoad ? Stage::kPort : Stage::kSettingsRead, hr, text);
        return false;
    }

    // The service forgets its Init when it ends after a few idle seconds; a new one has
    // neither loaded the settings nor configured the port, and then needs an Init. A send
    // always makes one: it keeps a port that is open and answers, opens afresh one whose
    // device went away unseen (a modem pulled out and put back), which no status can tell, and
    // after a configure whose port could not be opened its failure names the port, where the
    // send's would only say that none is open.
    bool EnsureReady(bool forSend) {
        if (forSend) return Init(true);
        Status status;
        if (!Do("GetSMSManagerStatus", Stage::kQuery,
                [&] { return client.GetSMSManagerStatus(status); })) {
            return false;
        }
        return status.iniFileLoad || status.portInit || Init(false);
    }

    ManagerClient& client;
    Console& io;
    const Options& options;

  private:
    std::string command_;
    std::optional<Failure> failure_;
};

// Far more than any SMS holds, even in UTF-8; reading stops there, so that `< /dev/zero`
// ends.
constexpr std::size_t kMaxInput = 64 * 1024;

// The whole of `in` without its last line end; on a read failure (a closed standard input, a
// directory), nothing and `error` says why: an input that failed is not an empty text.
std::optional<std::string> ReadAll(std::istream& in, std::string& error) {
    std::string text;
    char chunk[4096];
    try {
        in.exceptions(std::ios::badbit);
        while (text.size() <= kMaxInput && (in.read(chunk, sizeof chunk) || in.gcount() > 0)) {
            text.append(chunk, static_cast<std::size_t>(in.gcount()));
        }
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
    if (text.ends_with('\n')) text.pop_back();
    if (text.ends_with('\r')) text.pop_back();
    return text;
}

// The byte at which `text` stops being UTF-8, if it does.
std::optional<std::size_t> InvalidUtf8At(const std::string& text) {
    const std::string valid = Utf16ToUtf8(Utf8ToUtf16(text));
    if (valid == text) return std::nullopt;
    return std::mismatch(text.begin(), text.end(), valid.begin(), valid.end()).first - text.begin();
}

// Refuses `value` when it is not UTF-8: it would reach the modem as other characters, and
// `--json` could not print it.
bool RequireUtf8(Session& s, const std::string& what, const std::string& value) {
    const auto at = InvalidUtf8At(value);
    if (!at) return true;
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(value[*at]));
    return s.Refuse(what + " is not UTF-8: byte " + std::to_string(*at + 1) + " (" + byte +
                        ") is not part of a UTF-8 character",
                    "merel-sms takes its arguments and standard input in UTF-8; check the "
                    "encoding of the terminal or the script (locale)");
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

struct SendArgs {
    std::string number, text, mode = "auto";
    bool confirmed = false;             // an SMS the modem did not confirm is a failure
    CLI::Option* textOption = nullptr;  // tells an empty TEXT from none
};

// Checks the text against what `mode` can send and gives the units to send, or refuses it.
bool PrepareText(Session& s, const std::string& mode, std::u16string& text) {
    if (mode == "text") {
        Cp437Text converted = ToCp437Units(text);
        if (converted.refused) {
            return s.Refuse("character " + std::to_string(converted.refusedAt) + " of the text, " +
                                DescribeCharacter(*converted.refused) +
                                ", has no form in code page 437, which text mode sends",
                            "send it in PDU mode (UCS2): merel-sms send --mode pdu NUMBER TEXT");
        }
        if (converted.units.size() > kSmsTextModeCharacters) {
            return s.Refuse("the text has " + std::to_string(converted.units.size()) +
                                " characters; text mode fits " +
                                std::to_string(kSmsTextModeCharacters),
                            "shorten the text or send it in several messages");
        }
        text = std::move(converted.units);
    } else if (text.size() > kMaxPduUnits) {
        // The server would cut the rest; refused here, so that nothing is lost unseen.
        return s.Refuse("the text has " + std::to_string(text.size()) + " UTF-16 units (" +
                            std::to_string(CountCharacters(text)) + " characters); PDU mode fits " +
                            std::to_string(kMaxPduUnits) +
                            " (a character outside the Basic Multilingual Plane takes 2)",
                        "shorten the text or send it in several messages");
    }
    return true;
}

// Reads the text from standard input, saying so first on a terminal, where it would wait
// without a word otherwise; on failure says why.
bool ReadText(Session& s, std::string& text) {
    if (s.io.inIsTerminal && !s.options.quiet) {
        s.io.err << "merel-sms: reading the text from the terminal; end it with " << kEndOfInput
                 << "\n";
    }
    std::string error;
    const std::optional<std::string> input = ReadAll(s.io.in, error);
    if (!input) {
        return s.Refuse("cannot read the text: " + error,
                        "give the text as an argument, or on standard input from a file or a "
                        "pipe");
    }
    if (input->size() > kMaxInput) {
        return s.Refuse("standard input holds more than " + std::to_string(kMaxInput / 1024) +
                            " KiB; no SMS holds that much",
                        "give the text as an argument or on standard input");
    }
    // An empty input is no message: a cron job's /dev/null must not send an empty SMS.
    if (input->empty()) {
        return s.Refuse("nothing to send: the text is empty",
                        "give the text as an argument or on standard input");
    }
    text = *input;
    return RequireUtf8(s, "the text on standard input", text);
}

// The calls of a send after the text is checked: `mode` "auto" becomes the stored one. The mode
// is then passed on as it is, not left to the server: the text has been prepared for it.
bool SendCalls(Session& s, Progress& progress, const SendArgs& args, std::string& mode,
               const std::u16string& number, std::u16string& text, SendReport& report) {
    if (!s.EnsureReady(true)) return false;
    if (mode == "auto") {
        Settings settings;
        if (!s.Do("GetSettings", Stage::kQuery, [&] { return s.client.GetSettings(settings); })) {
            return false;
        }
        if (settings.characterSet != 0 && settings.characterSet != 1) {
            return s.Refuse("the stored character set " + std::to_string(settings.characterSet) +
                                " is neither 0 (text mode) nor 1 (PDU mode)",
                            "choose one: merel-sms configure --mode text|pdu, or send with --mode");
        }
        mode = settings.characterSet == 0 ? "text" : "pdu";
        if (!PrepareText(s, mode, text)) return false;
    }
    const bool textMode = mode == "text";
    progress.Step("sending in " + mode + " mode to " + args.number,
                  textMode ? kTextModeSeconds : kPduModeSeconds,
                  "waiting for the modem's confirmation",
                  textMode ? kTextModeBodySeconds : kPduModeBodySeconds);
    return s.Do("SendConfirmed", textMode ? Stage::kSendText : Stage::kSendPdu,
                [&] { return s.client.SendConfirmed(number, text, textMode ? 0 : 1, report); });
}

constexpr const char* kNotConfirmed = "not confirmed: the modem did not answer";
constexpr const char* kNotConfirmedHint = "is the port the modem's AT port? try: merel-sms check";

// The modem's warnings on standard error, and with -v what it said; under --json only after a
// success, whose object carries them: every failure's object has the same keys.
void ShowModemReport(Session& s, const SendReport& report, bool sent) {
    if (s.options.json && sent) return;
    for (const std::string& warning : report.warnings) s.io.err << "warning: " << warning << "\n";
    if (s.options.verbose && !report.transcript.empty()) {
        s.io.err << "merel-sms: the modem said: " << report.transcript << "\n";
    }
}

int Send(Session& s, SendArgs args) {
    const bool fromInput = args.textOption->count() == 0 || args.text == "-";
    if (!RequireUtf8(s, "NUMBER", args.number) ||
        (!fromInput && !RequireUtf8(s, "TEXT", args.text)) ||
        (fromInput && !ReadText(s, args.text))) {
        return s.Finish({});
    }
    const std::u16string number = Utf8ToUtf16(args.number);
    std::u16string text = Utf8ToUtf16(args.text);
    std::string mode = args.mode;

    // A text that the chosen mode cannot send is refused before the server is asked anything.
    if (mode != "auto" && !PrepareText(s, mode, text)) return s.Finish({});

    // The time reported is the whole command's: the service carries out one call at a time,
    // so the calls before the send may wait behind other clients' sends too.
    const auto start = std::chrono::steady_clock::now();
    SendReport report;
    bool sent;
    {
        Progress progress(s.io.err, s.io.errIsTerminal && !s.options.quiet);
        progress.Step("waiting for the service (other sends go first)", 0);
        sent = SendCalls(s, progress, args, mode, number, text, report);
    }
    const bool confirmed = sent && report.reference >= 0;
    ShowModemReport(s, report, sent && (confirmed || !args.confirmed));
    if (!sent) return s.Finish({});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    JsonObject data;
    data.Add("mode", mode).Add("number", args.number).AddNumber("seconds", seconds);
    data.Add("confirmed", confirmed);
    if (confirmed) {
        data.Add("reference", static_cast<long long>(report.reference));
    } else {
        data.AddNull("reference");
    }
    data.Add("warnings", report.warnings);
    if (s.options.verbose) data.Add("transcript", report.transcript);
    const std::string line =
        "sent in " + mode + " mode to " + args.number + " (" + Seconds(seconds) + ")";
    if (confirmed) {
        return s.Finish(
            line + ": confirmed by the modem, reference " + std::to_string(report.reference) + "\n",
            data);
    }
    if (args.confirmed) {
        s.Fail(Failure{kS_OK,
                       line + ", but " + kNotConfirmed + ": the SMS may or may not have gone out",
                       kNotConfirmedHint, kExitTempFail});
        return s.Finish({});
    }
    return s.Finish(line + ": " + kNotConfirmed + " (" + kNotConfirmedHint + ")\n", data);
}

// The modem's answers to the service's queries, and what they mean for sending.
int Check(Session& s) {
    Settings settings;
    if (!s.EnsureReady(true) ||
        !s.Do("GetSettings", Stage::kQuery, [&] { return s.client.GetSettings(settings); })) {
        return s.Finish({});
    }
    std::vector<std::u16string> answers;
    {
        Progress progress(s.io.err, s.io.errIsTerminal && !s.options.quiet);
        progress.Step("asking the modem (up to 2 s for each of 9 questions)", 0);
        if (!s.Do("CheckModem", Stage::kPort, [&] { return s.client.CheckModem(answers); })) {
            return s.Finish({});
        }
    }
    std::vector<std::string> lines;
    for (const auto& answer : answers) lines.push_back(Utf16ToUtf8(answer));
    const std::string port = Utf16ToUtf8(settings.port);
    const ModemCheck check = ParseModemCheck(lines, port);
    if (s.options.verbose) {
        for (const std::string& line : lines) s.io.err << "merel-sms: " << line << "\n";
    }

    JsonObject data;
    const auto text = [&data](const char* key, const std::string& value) {
        if (value.empty()) {
            data.AddNull(key);
        } else {
            data.Add(key, value);
        }
    };
    data.Add("port", port).Add("ready", check.ready).Add("answered", check.anyAnswer);
    text("manufacturer", check.manufacturer);
    text("model", check.model);
    text("revision", check.revision);
    text("sim", check.sim);
    data.Add("sim_ready", check.simReady);
    if (check.rssi) {
        data.Add("signal_rssi", static_cast<long long>(*check.rssi))
            .Add("signal_dbm", static_cast<long long>(SignalDbm(*check.rssi)))
            .Add("signal_bars", static_cast<long long>(SignalBars(*check.rssi)));
    } else {
        data.AddNull("signal_rssi").AddNull("signal_dbm").AddNull("signal_bars");
    }
    text("registration", check.registration ? RegistrationName(*check.registration) : "");
    text("operator", check.operatorName);
    if (check.pccp437) {
        data.Add("pccp437", *check.pccp437);
    } else {
        data.AddNull("pccp437");
    }
    data.Add("lines", lines);

    const std::string facts = ModemCheckText(check);
    if (check.ready) {
        // The stored text mode would send in a character set the modem does not have.
        if (check.pccp437 == false && settings.characterSet == 0) {
            return s.Finish(facts +
                                "ready to send in PDU mode; the stored text mode would garble the "
                                "text: merel-sms configure --mode pdu\n",
                            data);
        }
        return s.Finish(facts + "ready to send\n", data);
    }
    // The facts are shown all the same: they tell what is wrong.
    if (!s.options.json && !s.options.quiet) s.io.out << facts;
    s.Fail(Failure{kS_OK, check.anyAnswer ? "not ready to send: " + check.problem : check.problem,
                   check.hint, kExitTempFail});
    return s.Finish({}, data, true);
}

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}

int ShowStatus(Session& s) {
    Status st;
    if (!s.Do("GetSMSManagerStatus", Stage::kQuery,
              [&] { return s.client.GetSMSManagerStatus(st); })) {
        return s.Finish({});
    }
    JsonObject data;
    data.Add("settings_loaded", st.iniFileLoad != 0)
        .Add("log_open", st.logFileOpen != 0)
        .Add("port_open", st.portOpen != 0)
        .Add("port_configured", st.portInit != 0);
    return s.Finish(std::string("settings loaded: ") + YesNo(st.iniFileLoad) + "\nlog open: " +
                        YesNo(st.logFileOpen) + "\nport open: " + YesNo(st.portOpen) +
                        "\nport configured: " + YesNo(st.portInit) + "\n",
                    data);
}

// `status --check`: each stage asked only when the one before it holds, and the first that does
// not named in one line. A service that went idle has forgotten its Init: it gets one, as any
// send would make.
int CheckHealth(Session& s, bool askModem) {
    HealthFacts facts;
    const auto said = [&](Stage stage, HRESULT hr, const std::string& text) {
        return s.Classify(stage, hr, text).message;
    };
    Status status;
    HRESULT hr = s.client.GetSMSManagerStatus(status);
    if (Failed(hr)) {
        facts.unreachable = said(Stage::kQuery, hr, s.client.LastErrorText());
    } else if (!status.iniFileLoad || !status.portOpen || !status.portInit) {
        hr = s.client.Init();
        const std::string initText = s.client.LastErrorText();
        if (Failed(hr)) {
            const HRESULT got = s.client.GetSMSManagerStatus(status);
            if (Failed(got)) {
                facts.unreachable = said(Stage::kQuery, got, s.client.LastErrorText());
            } else if (!status.iniFileLoad) {
                facts.settingsUnread = said(Stage::kSettingsRead, hr, initText);
            } else {
                facts.portClosed = said(Stage::kPort, hr, initText);
            }
        }
    }
    Settings settings;
    if (!facts.unreachable && !facts.settingsUnread) {
        hr = s.client.GetSettings(settings);
        if (Failed(hr)) facts.unreachable = said(Stage::kQuery, hr, s.client.LastErrorText());
        facts.port = Utf16ToUtf8(settings.port);
    }
    if (askModem && !facts.unreachable && !facts.settingsUnread && !facts.portClosed) {
        std::vector<std::u16string> answers;
        hr = s.client.CheckModem(answers);
        if (Failed(hr)) {
            // A device that went away unseen is found by the check, which closes the port.
            const std::string text = said(Stage::kPort, hr, s.client.LastErrorText());
            if (!Failed(s.client.GetSMSManagerStatus(status)) && !status.portOpen) {
                facts.portClosed = text;
            } else {
                facts.modemCheckFailed = text;
            }
        } else {
            std::vector<std::string> lines;
            for (const auto& answer : answers) lines.push_back(Utf16ToUtf8(answer));
            facts.modem = ParseModemCheck(lines, facts.port);
        }
    }
    const HealthVerdict verdict = JudgeHealth(facts);
    // Monitoring reads this line and the exit code, whatever else was asked for.
    s.io.out << verdict.line << "\n";
    s.io.out.flush();
    return verdict.exitCode;
}

struct LogArgs {
    std::string since, from;
    bool all = false;
};

// The lines of `in` that are records; `since` (microseconds) leaves out older ones.
std::vector<LoggedCall> RecordsIn(std::istream& in, std::optional<std::int64_t> since) {
    std::vector<LoggedCall> calls;
    for (std::string line; std::getline(in, line);) {
        // A record may come after a prefix of the program that kept the lines (a container's
        // log adds its time stamp): it starts at its priority.
        const std::size_t at = line.find("<");
        if (at == std::string::npos) continue;
        auto call = FromRecordLine(std::string_view(line).substr(at));
        if (call && (!since || call->microseconds >= *since)) calls.push_back(std::move(*call));
    }
    return calls;
}

int ShowLog(Console& io, const Options& options, const JournalReader& journal, const LogArgs& a) {
    std::optional<Failure> failure;
    std::vector<LoggedCall> calls;
    if (!a.from.empty()) {
        std::optional<std::int64_t> since;
        if (!a.since.empty() && !(since = ParseLocalTime(a.since))) {
            return Report(io, options, "log",
                          UsageError("--since " + a.since +
                                     ": with --from, give a local time as "
                                     "2026-12-08, 2026-12-08 09:00 or 2026-12-08 09:00:00"),
                          {});
        }
        if (a.from == "-") {
            calls = RecordsIn(io.in, since);
        } else {
            std::ifstream file(a.from);
            if (!file) {
                return Report(io, options, "log",
                              Failure{kE_FAIL,
                                      "cannot read " + a.from + ": " + std::strerror(errno),
                                      {},
                                      kExitNoInput},
                              {});
            }
            calls = RecordsIn(file, since);
        }
    } else {
        Failure why;
        if (!journal || !journal(a.since, calls, why)) failure = why;
    }
    std::string text, objects;
    std::size_t shown = 0;
    for (const LoggedCall& call : calls) {
        if (!a.all && !call.IsSend()) continue;
        text += LogLine(call) + "\n";
        objects += (shown++ ? "," : "") + LogJson(call);
    }
    if (!failure && shown == 0 && !options.quiet && !options.json) {
        io.err << "merel-sms: no " << (a.all ? "calls" : "sends") << " recorded"
               << (a.since.empty() ? "" : " since " + a.since) << "\n";
        if (a.from.empty()) {
            io.err << "hint: without a journal (a container) the service writes its record to "
                      "its standard error: merel-sms log --from FILE\n";
        }
    }
    return Report(io, options, "log", failure, text,
                  JsonObject().AddRaw("calls", "[" + objects + "]"));
}

// "0 (none)": a code with its meaning, where it has one.
std::string Code(int value, std::initializer_list<const char*> meanings) {
    std::string text = std::to_string(value);
    if (value >= 0 && static_cast<std::size_t>(value) < meanings.size()) {
        text += std::string(" (") + meanings.begin()[value] + ")";
    }
    return text;
}

int ShowSettings(Session& s) {
    Settings st;
    if (!s.EnsureReady(false) ||
        !s.Do("GetSettings", Stage::kQuery, [&] { return s.client.GetSettings(st); })) {
        return s.Finish({});
    }
    const std::string port = Utf16ToUtf8(st.port);
    JsonObject data;
    data.Add("port", port)
        .Add("baudrate", static_cast<long long>(st.baudrate))
        .Add("data_bits", static_cast<long long>(st.dataBits))
        .Add("parity", static_cast<long long>(st.parity))
        .Add("stop_bits", static_cast<long long>(st.stopBits))
        .Add("handshake", static_cast<long long>(st.handshake))
        .Add("read_timeout", static_cast<long long>(st.readTimeout))
        .Add("character_set", static_cast<long long>(st.characterSet));
    return s.Finish(
        "port: " + port + "\nbaud rate: " + std::to_string(st.baudrate) + "\ndata bits: " +
            std::to_string(st.dataBits) + "\nparity: " + Code(st.parity, {"none", "odd", "even"}) +
            "\nstop bits: " + Code(st.stopBits, {"one", "one and a half", "two"}) +
            "\nhandshake: " + Code(st.handshake, {"off", "hardware", "software"}) +
            "\nread timeout: " + Code(st.readTimeout, {"nonblocking", "blocking"}) +
            "\ncharacter set: " +
            Code(st.characterSet, {"text mode, code page 437", "PDU mode, UCS2"}) + "\n",
        data);
}

// `word` as a shell takes it back: quoted when it holds anything beyond the usual path
// characters.
std::string ShellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789/_.,:+-") == std::string::npos;
    if (plain) return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct ConfigureArgs {
    std::string port, mode;  // empty: keep
    int baud = 0;            // 0: keep

    bool Empty() const { return port.empty() && mode.empty() && baud == 0; }

    // The options as given, to be run again.
    std::string Options() const {
        std::string text;
        if (!port.empty()) text += " --port " + ShellWord(port);
        if (baud) text += " --baud " + std::to_string(baud);
        if (!mode.empty()) text += " --mode " + mode;
        return text.substr(1);
    }
};

int Configure(Session& s, const ConfigureArgs& args) {
    if (!RequireUtf8(s, "--port", args.port)) return s.Finish({});
    // Load what is stored so that the values not given are kept; a fresh installation has
    // no settings file yet, and then the defaults stand.
    Status status;
    if (!s.Do("GetSMSManagerStatus", Stage::kQuery,
              [&] { return s.client.GetSMSManagerStatus(status); })) {
        return s.Finish({});
    }
    if (!status.iniFileLoad && !s.Init(false) && !s.ForgiveMissingSettings()) {
        return s.Finish({});
    }
    Settings st;
    if (!s.Do("GetSettings", Stage::kQuery, [&] { return s.client.GetSettings(st); })) {
        return s.Finish({});
    }
    if (!args.port.empty()) st.port = Utf8ToUtf16(args.port);
    if (st.port.empty()) {
        s.Misused("no port is stored yet: name one with --port",
                  "merel-sms ports lists the ports found");
        return s.Finish({});
    }
    if (args.baud) st.baudrate = args.baud;
    if (!args.mode.empty()) st.characterSet = args.mode == "text" ? 0 : 1;
    if (!s.Do("SetSettings", Stage::kSettingsWrite, [&] { return s.client.SetSettings(st); })) {
        s.CompleteHint(args.Options());
        return s.Finish({});
    }
    // Init loads the saved file; it keeps a port that is open already, so TestPort reopens
    // the one just named.
    if (!s.Init(false) || !s.Do("TestPort", Stage::kPort, [&] { return s.client.TestPort(); })) {
        return s.Finish({});
    }
    const std::string port = Utf16ToUtf8(st.port);
    const std::string mode = st.characterSet == 0 ? "text" : "pdu";
    JsonObject data;
    data.Add("port", port).Add("baudrate", static_cast<long long>(st.baudrate)).Add("mode", mode);
    return s.Finish("saved and opened port " + port + " at " + std::to_string(st.baudrate) +
                        " baud, " + mode + " mode\n",
                    data);
}

// The server's port names are labels that end with the device in parentheses ("Serial Port
// (/dev/ttyS0)", "Communications Port (COM1)"); the fallback names (COM1 to COM9) are bare.
struct PortName {
    std::string device, label;
};

PortName SplitPortName(const std::string& name) {
    const auto open = name.rfind(" (");
    if (!name.ends_with(')') || open == std::string::npos || open == 0 || open + 3 >= name.size()) {
        return {name, {}};
    }
    return {name.substr(open + 2, name.size() - open - 3), name.substr(0, open)};
}

int ListPorts(Session& s) {
    std::vector<std::u16string> ports;
    if (!s.Do("GetDetectedCOMPortsOnHost", Stage::kQuery,
              [&] { return s.client.GetDetectedCOMPortsOnHost(ports); })) {
        return s.Finish({});
    }
    std::vector<std::string> names, devices;
    std::vector<PortName> split;
    std::size_t width = 0;
    for (const auto& port : ports) {
        names.push_back(Utf16ToUtf8(port));
        split.push_back(SplitPortName(names.back()));
        devices.push_back(split.back().device);
        width = std::max(width, devices.back().size());
    }
    // The device first, so that it can be pasted into --port; the labels line up after it.
    std::string text;
    for (const PortName& port : split) {
        text += port.device;
        if (!port.label.empty()) {
            text += std::string(width - port.device.size() + 2, ' ') + port.label;
        }
        text += "\n";
    }
    // An empty list is an answer, not a failure; it is said, since no output at all looks
    // like a command that did nothing.
    if (ports.empty() && !s.options.quiet) {
        s.io.err << "merel-sms: no serial port found\n"
                 << "hint: connect the modem; a port that is not listed can still be named: "
                    "merel-sms configure --port <device>\n";
    }
    return s.Finish(text, JsonObject().Add("ports", names).Add("devices", devices));
}

// One line per instance of the service: its port and status, or why it could not be asked.
// A service that has not loaded its settings yet is given an Init, as `settings` does.
int ListModems(const ClientFactory& connect, const InstanceLister& lister, Session& s) {
    std::vector<std::string> instances;
    std::string error;
    if (!lister || !lister(s.options.connect, instances, error)) {
        s.Fail(s.Classify(Stage::kQuery, kServerNotStarted, error));
        return s.Finish({});
    }
    struct Row {
        std::string name, port, state;  // state empty: `port` says why it failed
    };
    std::vector<Row> rows;
    std::string json = "[";
    for (const std::string& name : instances) {
        ConnectOptions options = s.options.connect;
        options.modem = name;
        const std::unique_ptr<ManagerClient> client = connect(options);
        Session one(*client, s.io, s.options, "modems");
        Settings settings;
        Status status;
        // An instance not configured yet is listed as such, not as a failure.
        const bool asked =
            (one.EnsureReady(false) || one.ForgiveMissingSettings()) &&
            one.Do("GetSettings", Stage::kQuery, [&] { return client->GetSettings(settings); }) &&
            one.Do("GetSMSManagerStatus", Stage::kQuery,
                   [&] { return client->GetSMSManagerStatus(status); });
        JsonObject entry;
        if (name.empty()) {
            entry.AddNull("modem");
        } else {
            entry.Add("modem", name);
        }
        entry.Add("bus_name", wire::InstanceBusName(name)).Add("ok", asked);
        Row row{name.empty() ? "(default)" : name, {}, {}};
        if (asked) {
            const std::string port = Utf16ToUtf8(settings.port);
            row.port = port.empty() ? "(no port)" : port;
            row.state = status.portOpen && status.portInit ? "port open and configured"
                        : status.iniFileLoad               ? "port not open"
                                                           : "settings not loaded";
            entry.Add("port", port)
                .Add("settings_loaded", status.iniFileLoad != 0)
                .Add("port_open", status.portOpen != 0)
                .Add("port_configured", status.portInit != 0)
                .AddNull("error");
        } else {
            row.port = std::string("error: ").append(one.failure()->message);
            entry.AddNull("port")
                .AddNull("settings_loaded")
                .AddNull("port_open")
                .AddNull("port_configured")
                .Add("error", one.failure()->message);
        }
        rows.push_back(std::move(row));
        json.append(json.size() > 1 ? "," : "").append(entry.Text());
    }
    json += "]";
    std::size_t nameWidth = 0, portWidth = 0;
    for (const Row& row : rows) {
        nameWidth = std::max(nameWidth, row.name.size());
        if (!row.state.empty()) portWidth = std::max(portWidth, row.port.size());
    }
    std::string text;
    for (const Row& row : rows) {
        text += row.name + std::string(nameWidth - row.name.size() + 2, ' ') + row.port;
        if (!row.state.empty()) {
            text += std::string(portWidth - row.port.size() + 2, ' ') + row.state;
        }
        text += "\n";
    }
    if (instances.empty() && !s.options.quiet) {
        s.io.err << "merel-sms: no MerelSMSManager service is running or can be started on the "
                 << (s.options.connect.systemBus ? "system" : "session") << " bus\n"
                 << "hint: register one: MerelSMSManager -RegServer [--instance NAME]\n";
    }
    return s.Finish(text, JsonObject().AddRaw("modems", json));
}

int TestPort(Session& s) {
    if (s.EnsureReady(false)) s.Do("TestPort", Stage::kPort, [&] { return s.client.TestPort(); });
    return s.Finish("the port opened and was configured\n");
}

int Init(Session& s) {
    s.Init(true);
    return s.Finish("settings loaded, port opened and configured\n");
}

// A whole number from 1 up, with a message that says so (CLI11's own names its range up to
// the largest double, 309 digits).
CLI::Validator WholeNumberAbove0(std::string what, std::string example) {
    return CLI::Validator(
        [what, example](std::string& value) -> std::string {
            char* end = nullptr;
            errno = 0;
            const long long n = std::strtoll(value.c_str(), &end, 10);
            if (!value.empty() && *end == '\0' && errno == 0 && n > 0 &&
                n <= std::numeric_limits<std::int32_t>::max()) {
                return {};
            }
            return what + " must be a whole number above 0 (for example " + example + "), not " +
                   value;
        },
        "");
}

CLI::Validator SecondsAbove0() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (!value.empty() && *end == '\0' && std::isfinite(seconds) && seconds > 0) {
                return {};
            }
            return "the timeout must be a number of seconds above 0 (for example 30 or 0.5), "
                   "not " +
                   value;
        },
        "");
}

// An instance name, refused with the rule.
CLI::Validator InstanceName() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            if (wire::IsInstanceName(value)) return {};
            return std::string("invalid modem name '")
                .append(value)
                .append("': a modem's name is ")
                .append(wire::kInstanceNameRule);
        },
        "");
}

}  // namespace

int RunCli(const ClientFactory& connect, const std::vector<std::string>& args, Console& io,
           const JournalReader& journal, const InstanceLister& instances) {
    CLI::App app{"Sends SMS through the MerelSMSManager service and manages its settings.",
                 "merel-sms"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "merel-sms " MEREL_VERSION);
    Options options;
    app.add_flag("--json", options.json, "print one JSON object per command on standard output");
    app.add_option("--timeout", options.connect.timeoutSeconds, "seconds for each call")
        ->type_name("SECONDS")
        ->check(SecondsAbove0())
        ->capture_default_str();
    app.add_flag("-q,--quiet", options.quiet, "print nothing on success");
    app.add_flag("-v,--verbose", options.verbose, "show each call to the server");
    app.add_flag("--system", options.connect.systemBus,
                 "use the system bus (D-Bus; ignored on Windows)");
    app.add_option("--modem", options.connect.modem,
                   "the service's instance for this modem (D-Bus); default: $MEREL_SMS_MODEM, "
                   "else the plain service")
        ->type_name("NAME")
        ->envname("MEREL_SMS_MODEM")
        ->check(InstanceName());

    SendArgs send;
    auto* sendCommand = app.add_subcommand("send", "send one SMS");
    sendCommand->add_option("NUMBER", send.number, "the recipient's number")
        ->required()
        ->type_name("");
    send.textOption =
        sendCommand->add_option("TEXT", send.text, "the text; '-' or absent: standard input")
            ->type_name("");
    sendCommand->add_option("--mode", send.mode, "auto (the stored character set), text or pdu")
        ->type_name("MODE")
        ->check(CLI::IsMember({"auto", "text", "pdu"}))
        ->capture_default_str();
    sendCommand->add_flag("--confirmed", send.confirmed,
                          "fail (exit 75) unless the modem confirms the SMS");

    ConfigureArgs configure;
    auto* configureCommand = app.add_subcommand(
        "configure", "store the port, baud rate or mode (the others kept) and open the port");
    configureCommand->add_option("--port", configure.port, "the modem's serial port")
        ->type_name("DEVICE");
    configureCommand->add_option("--baud", configure.baud, "baud rate")
        ->type_name("N")
        ->check(WholeNumberAbove0("the baud rate", "9600 or 115200"));
    configureCommand->add_option("--mode", configure.mode, "text or pdu")
        ->type_name("MODE")
        ->check(CLI::IsMember({"text", "pdu"}));

    bool healthCheck = false, skipModem = false;
    auto* statusCommand = app.add_subcommand("status", "show the four status flags");
    statusCommand->add_flag("--check", healthCheck,
                            "one line for monitoring (Nagios, Icinga, Zabbix, Checkmk); exit 0 "
                            "OK, 1 warning, 2 critical");
    statusCommand->add_flag("--no-modem", skipModem,
                            "with --check: do not ask the modem (up to 18 s when it is silent)");
    app.add_subcommand("settings", "show the stored settings");
    app.add_subcommand("ports", "list the serial ports found on this computer");
    app.add_subcommand("modems",
                       "list the service's instances on the bus, running or startable, with "
                       "their ports and status");
    app.add_subcommand("test-port", "reopen and configure the stored port");
    app.add_subcommand("init", "load the settings, open and configure the port");
    app.add_subcommand("check",
                       "ask the modem about its SIM, signal and network; say whether it "
                       "is ready to send");

    LogArgs log;
    auto* logCommand = app.add_subcommand(
        "log", "show the service's record of sends, oldest first (from the journal)");
    logCommand->add_option("--since", log.since, "only those since TIME (as journalctl takes it)")
        ->type_name("TIME");
    logCommand
        ->add_option("--from", log.from,
                     "read the service's saved standard error instead ('-': standard input)")
        ->type_name("FILE");
    logCommand->add_flag("--all", log.all, "every recorded call, not only the sends");

    // Known before parsing, so that a usage error is reported as JSON too.
    options.json = std::find(args.begin(), args.end(), "--json") != args.end();
    const auto usage = [&](Failure failure) {
        const auto chosen = app.get_subcommands();
        return Report(io, options, chosen.empty() ? std::string() : chosen.front()->get_name(),
                      failure, {});
    };
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend() - (args.empty() ? 0 : 1));
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        io.out << app.help();
        return kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        io.out << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    } catch (const CLI::CallForVersion&) {
        io.out << "merel-sms " MEREL_VERSION "\n";
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        // A mistyped command is otherwise reported as a missing one.
        const auto extra = app.remaining();
        return usage(UsageError(app.get_subcommands().empty() && !extra.empty()
                                    ? "unknown command: " + extra.front()
                                    : std::string(e.what())));
    }

    CLI::App* chosen = app.get_subcommands().front();
    const std::string command = chosen->get_name();
    if (command == "configure" && configure.Empty()) {
        return usage(UsageError("configure: nothing to change: give --port, --baud or --mode",
                                "merel-sms configure --help"));
    }
    // The record is read without the service.
    if (command == "log") return ShowLog(io, options, journal, log);
#if defined(_WIN32)
    // A COM class has one server: a send meant for one modem must not go to the only one.
    if (!options.connect.modem.empty()) {
        return usage(UsageError("--modem: Windows has one MerelSMSManager server per computer",
                                "leave out --modem and MEREL_SMS_MODEM"));
    }
#endif
    std::unique_ptr<ManagerClient> client = connect(options.connect);
    Session session(*client, io, options, command);
    if (command == "send") return Send(session, send);
    if (command == "configure") return Configure(session, configure);
    if (command == "status") {
        return healthCheck ? CheckHealth(session, !skipModem) : ShowStatus(session);
    }
    if (command == "settings") return ShowSettings(session);
    if (command == "ports") return ListPorts(session);
    if (command == "modems") return ListModems(connect, instances, session);
    if (command == "test-port") return TestPort(session);
    if (command == "check") return Check(session);
    return Init(session);
}

}  // namespace merel::cli
