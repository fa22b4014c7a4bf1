#include "cli/front_end.h"

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <optional>
#include <utility>

#include <CLI/CLI.hpp>

#include "base/narrow.h"
#include "base/cp437.h"
#include "cli/failure.h"
#include "interface/hresult_text.h"
#include "cli/json.h"
#include "cli/progress.h"

#ifndef MEREL_VERSION
#define MEREL_VERSION "0"
#endif

namespace merel::cli {

namespace {

constexpr std::size_t kTextModeLimit = 160;  // characters, one byte each on the wire
constexpr std::size_t kPduModeLimit = 70;    // UTF-16 units; the server cuts the rest
constexpr int kTextModeSeconds = 5;          // one second after each command written
constexpr int kPduModeSeconds = 6;

struct Options {
    bool json = false, quiet = false, verbose = false;
    ConnectOptions connect;
};

// One command's run: its calls, its outcome and how it is reported.
class Session {
  public:
    Session(ManagerClient& client, Console& io, const Options& options, std::string command)
        : client(client), io(io), options(options), command_(std::move(command)) {}

    Bus bus() const { return options.connect.systemBus ? Bus::kSystem : Bus::kSession; }

    // Makes one call; on failure records what went wrong and returns false.
    template <class Call>
    bool Do(const char* name, Stage stage, Call&& call) {
        const HRESULT hr = call();
        if (options.verbose)
            io.err << "merel-sms: " << name << ": " << wire::FormatHResult(hr) << "\n";
        if (!Failed(hr)) return true;
        failure_ = ClassifyFailure(stage, hr, client.LastErrorText(), bus());
        return false;
    }

    // The client's own refusal of the input, reported as the server reports refused input.
    bool Refuse(std::string message, std::string hint) {
        failure_ = Failure{kE_INVALIDARG, std::move(message), std::move(hint), kExitDataErr};
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

    // Prints the outcome (`text` and `data` on success) and gives the exit code.
    int Finish(const std::string& text, JsonObject data = {}) {
        JsonObject head;
        head.Add("command", command_).Add("ok", !failure_);
        if (failure_) {
            io.err << "merel-sms: " << failure_->message << "\n";
            if (!failure_->hint.empty()) io.err << "hint: " << failure_->hint << "\n";
            head.Add("hresult", wire::FormatHResult(failure_->hr)).Add("error", failure_->message);
            if (!failure_->hint.empty()) head.Add("hint", failure_->hint);
        } else if (!options.json && !options.quiet && !text.empty()) {
            io.out << text;
        }
        if (options.json) {
            if (!failure_) head.Append(data);
            io.out << head.Text() << "\n";
        }
        io.out.flush();
        return failure_ ? failure_->exitCode : kExitOk;
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
        failure_ = ClassifyFailure(status.iniFileLoad ? Stage::kPort : Stage::kSettingsRead, hr,
                                   text, bus());
        return false;
    }

    // The service forgets its Init when it ends after a few idle seconds; a new one has
    // neither loaded the settings nor configured the port, and then needs an Init.
    bool EnsureReady(bool portMatters) {
        Status status;
        if (!Do("GetSMSManagerStatus", Stage::kQuery,
                [&] { return client.GetSMSManagerStatus(status); })) {
            return false;
        }
        return status.iniFileLoad || status.portInit || Init(portMatters);
    }

    ManagerClient& client;
    Console& io;
    const Options& options;

  private:
    std::string command_;
    std::optional<Failure> failure_;
};

std::string ReadAll(std::istream& in) {
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (text.ends_with('\n')) text.pop_back();
    if (text.ends_with('\r')) text.pop_back();
    return text;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

struct SendArgs {
    std::string number, text, mode = "auto";
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
        if (converted.units.size() > kTextModeLimit) {
            return s.Refuse("the text has " + std::to_string(converted.units.size()) +
                                " characters; text mode fits " + std::to_string(kTextModeLimit),
                            "shorten the text or send it in several messages");
        }
        text = std::move(converted.units);
    } else if (text.size() > kPduModeLimit) {
        return s.Refuse("the text has " + std::to_string(text.size()) + " UTF-16 units (" +
                            std::to_string(CountCharacters(text)) + " characters); PDU mode fits " +
                            std::to_string(kPduModeLimit) +
                            " (a character outside the Basic Multilingual Plane takes 2)",
                        "shorten the text or send it in several messages");
    }
    return true;
}

int Send(Session& s, SendArgs args) {
    if (args.textOption->count() == 0 || args.text == "-") args.text = ReadAll(s.io.in);
    const std::u16string number = Utf8ToUtf16(args.number);
    std::u16string text = Utf8ToUtf16(args.text);
    const auto finish = [&] { return s.Finish({}); };

    // A text that the chosen mode cannot send is refused before the server is asked anything.
    if (args.mode != "auto" && !PrepareText(s, args.mode, text)) return finish();
    if (!s.EnsureReady(true)) return finish();
    if (args.mode == "auto") {
        Settings settings;
        if (!s.Do("GetSettings", Stage::kQuery, [&] { return s.client.GetSettings(settings); })) {
            return finish();
        }
        if (settings.characterSet != 0 && settings.characterSet != 1) {
            s.Refuse("the stored character set " + std::to_string(settings.characterSet) +
                         " is neither 0 (text mode) nor 1 (PDU mode)",
                     "choose one: merel-sms configure --port <device> --mode text|pdu, or send "
                     "with --mode");
            return finish();
        }
        args.mode = settings.characterSet == 0 ? "text" : "pdu";
        if (!PrepareText(s, args.mode, text)) return finish();
    }
    const bool textMode = args.mode == "text";

    const auto start = std::chrono::steady_clock::now();
    bool sent;
    {
        Progress progress(s.io.err, s.io.errIsTerminal && !s.options.quiet,
                          "sending in " + args.mode + " mode to " + args.number,
                          textMode ? kTextModeSeconds : kPduModeSeconds);
        sent = textMode ? s.Do("SendTextMessage", Stage::kSendText,
                               [&] { return s.client.SendTextMessage(number, text, 0); })
                        : s.Do("SendPDUMessage", Stage::kSendPdu,
                               [&] { return s.client.SendPDUMessage(number, text); });
    }
    if (!sent) return finish();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    JsonObject data;
    data.Add("mode", args.mode).Add("number", args.number).AddNumber("seconds", seconds);
    return s.Finish(
        "sent in " + args.mode + " mode to " + args.number + " (" + Seconds(seconds) + ")\n", data);
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

struct ConfigureArgs {
    std::string port, mode;
    int baud = 0;  // 0: keep
};

int Configure(Session& s, const ConfigureArgs& args) {
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
    st.port = Utf8ToUtf16(args.port);
    if (args.baud) st.baudrate = args.baud;
    if (!args.mode.empty()) st.characterSet = args.mode == "text" ? 0 : 1;
    if (!s.Do("SetSettings", Stage::kSettingsWrite, [&] { return s.client.SetSettings(st); })) {
        return s.Finish({});
    }
    // Init loads the saved file; it keeps a port that is open already, so TestPort reopens
    // the one just named.
    if (!s.Init(false) || !s.Do("TestPort", Stage::kPort, [&] { return s.client.TestPort(); })) {
        return s.Finish({});
    }
    const std::string mode = st.characterSet == 0 ? "text" : "pdu";
    JsonObject data;
    data.Add("port", args.port)
        .Add("baudrate", static_cast<long long>(st.baudrate))
        .Add("mode", mode);
    return s.Finish("saved and opened port " + args.port + " at " + std::to_string(st.baudrate) +
                        " baud, " + mode + " mode\n",
                    data);
}

int ListPorts(Session& s) {
    std::vector<std::u16string> ports;
    if (!s.Do("GetDetectedCOMPortsOnHost", Stage::kQuery,
              [&] { return s.client.GetDetectedCOMPortsOnHost(ports); })) {
        return s.Finish({});
    }
    std::vector<std::string> names;
    std::string text;
    for (const auto& port : ports) {
        names.push_back(Utf16ToUtf8(port));
        text += names.back() + "\n";
    }
    return s.Finish(text, JsonObject().Add("ports", names));
}

int TestPort(Session& s) {
    if (s.EnsureReady(false)) s.Do("TestPort", Stage::kPort, [&] { return s.client.TestPort(); });
    return s.Finish("the port opened and was configured\n");
}

int Init(Session& s) {
    s.Init(true);
    return s.Finish("settings loaded, port opened and configured\n");
}

}  // namespace

int RunCli(const ClientFactory& connect, const std::vector<std::string>& args, Console& io) {
    CLI::App app{"Sends SMS through the MerelSMSManager service and manages its settings.",
                 "merel-sms"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "merel-sms " MEREL_VERSION);
    Options options;
    app.add_flag("--json", options.json, "print one JSON object per command on standard output");
    app.add_option("--timeout", options.connect.timeoutSeconds, "seconds for each call")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_flag("-q,--quiet", options.quiet, "print nothing on success");
    app.add_flag("-v,--verbose", options.verbose, "show each call to the server");
    app.add_flag("--system", options.connect.systemBus,
                 "use the system bus (D-Bus; ignored on Windows)");

    SendArgs send;
    auto* sendCommand = app.add_subcommand("send", "send one SMS");
    sendCommand->add_option("NUMBER", send.number, "the recipient's number")->required();
    send.textOption =
        sendCommand->add_option("TEXT", send.text, "the text; '-' or absent: standard input");
    sendCommand->add_option("--mode", send.mode, "auto (the stored character set), text or pdu")
        ->check(CLI::IsMember({"auto", "text", "pdu"}))
        ->capture_default_str();

    ConfigureArgs configure;
    auto* configureCommand =
        app.add_subcommand("configure", "store the port (and baud rate, mode) and open it");
    configureCommand->add_option("--port", configure.port, "the modem's serial port")->required();
    configureCommand->add_option("--baud", configure.baud, "baud rate")->check(CLI::PositiveNumber);
    configureCommand->add_option("--mode", configure.mode, "text or pdu")
        ->check(CLI::IsMember({"text", "pdu"}));

    app.add_subcommand("status", "show the four status flags");
    app.add_subcommand("settings", "show the stored settings");
    app.add_subcommand("ports", "list the serial ports found on this computer");
    app.add_subcommand("test-port", "reopen and configure the stored port");
    app.add_subcommand("init", "load the settings, open and configure the port");

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
        const std::string message = app.get_subcommands().empty() && !extra.empty()
                                        ? "unknown command: " + extra.front()
                                        : std::string(e.what());
        io.err << "merel-sms: " << message << "\nhint: merel-sms --help lists the commands\n";
        return kExitUsage;
    }

    CLI::App* chosen = app.get_subcommands().front();
    const std::string command = chosen->get_name();
    std::unique_ptr<ManagerClient> client = connect(options.connect);
    Session session(*client, io, options, command);
    if (command == "send") return Send(session, send);
    if (command == "configure") return Configure(session, configure);
    if (command == "status") return ShowStatus(session);
    if (command == "settings") return ShowSettings(session);
    if (command == "ports") return ListPorts(session);
    if (command == "test-port") return TestPort(session);
    return Init(session);
}

}  // namespace merel::cli
