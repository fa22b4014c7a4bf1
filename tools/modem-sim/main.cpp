// modem-sim: a simulated GSM modem. It offers a pseudo terminal in place of a serial port,
// records every byte written to it, reads the SMS submissions out of the stream and, when
// asked, answers as a modem does.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "answerer.h"
#include "at_stream.h"
#include "session.h"
#include "transcript.h"

namespace {

using merel::modem::Answerer;
using merel::modem::AnswerOptions;
using merel::modem::AtStreamSplitter;
using merel::modem::Command;
using merel::modem::CommandRecord;
using merel::modem::ModemSession;

constexpr const char* kUsage = R"usage(Usage: modem-sim [options]

A simulated GSM modem for trying MerelSMSManager without hardware. It opens a pseudo
terminal, prints the device to use as the port on its first line of standard output:

  device: /dev/pts/N

and records everything written to that device. Name the device (or the --link path) in the
"Port:" line of SMSMgr.ini. By default the simulator never answers: it only listens.

The byte stream is split into commands: a command line ends with CR (the manager ends its
lines with LF CR); a message body after AT+CMGS ends with Ctrl-Z (0x1A) and the LF CR after
it; "AT$RESET" counts as a command of its own, as it comes without a line end. ESC (0x1B)
gives up the message being entered (nothing is sent) or the command line being typed; the
manager writes one after opening the port, and a lone ESC is a command of its own. Text-mode
submissions (AT+CMGF=1, AT+CMGS="number", text) and PDU-mode submissions (AT+CMGF=0,
AT+CMGS=length, SMS-SUBMIT PDU in hexadecimal) are decoded. In text mode the number and the
text are decoded in the character set that the last AT+CSCS named: code page 437 for
"PCCP437" (the manager announces it, and merel-sms converts its text to it), four hexadecimal
digits a character for "UCS2", ISO-8859-1 for any other or without AT+CSCS. In PDU mode the
number, its type of address, the data coding, the UCS2 text and the announced AT+CMGS length
(checked against the PDU) are shown; a PDU that cannot be read is reported as such.

Options:
  --link PATH         also make PATH a symbolic link to the device (removed at the end)
  --json              write the transcript as JSON lines instead of readable text
  --transcript FILE   write the transcript to FILE (default: standard output)
  --idle-exit SECS    end after SECS seconds without input (default: run until a signal)
  --answer MODE       silent (the default): never write anything; ok: answer as a modem
  --help              show this text

With --answer ok (the options below need it):
  --confirm-delay S   seconds from a message's Ctrl-Z to its result (default 2.5)
  --refuse N          answer every message +CMS ERROR: N instead of +CMGS
  --refuse-cmgs N     answer AT+CMGS +CMS ERROR: N, without the prompt
  --no-pccp437        do not offer character set "PCCP437" (AT+CSCS="PCCP437" gives ERROR)
  --sim-pin           the SIM waits for its PIN: AT+CPIN? gives +CPIN: SIM PIN, AT+CMGS gives
                      +CMS ERROR: 311, until any AT+CPIN=<pin>
  --urc               write an unsolicited line every 300 ms, ^RSSI: 17 and +CREG: 1 in turn
                      (none while a message is being entered)
  --never-confirm     never give a result for a message

The answering modem echoes each command line as it arrives (ATE0 and ATE1 turn this off and
on; a message body is not echoed), runs it at its CR (LF and other control characters take no
part in it, Backspace deletes, ESC gives the line up without an answer, text before "AT" is
ignored) and ends each answer with a final result, "<CR><LF>OK<CR><LF>" or
"<CR><LF>ERROR<CR><LF>". "AT$RESET" comes without a line end, so the command after it shares
its line ("AT$RESETAT+CSCS=...") and is answered ERROR. AT+CMGS=... is answered with the prompt
"<CR><LF>> " (no line end); after the body's Ctrl-Z (and the LF CR right after it) comes, after
the confirmation delay, "<CR><LF>+CMGS: <mr><CR><LF>" and OK, <mr> counting 0, 1, 2 ... up to
255 and again from 0. Any other byte before that result gives the message up unsent, as real
modems do; the byte then counts as input. ESC in the body gives the message up and is
answered OK. Fixed answers (each followed by OK):
  AT          OK alone
  AT+CGMI     Merel Simulated
  AT+CGMM     GSM Modem
  AT+CGMR     1.0
  AT+CPIN?    +CPIN: READY             (--sim-pin: +CPIN: SIM PIN)
  AT+CSQ      +CSQ: 17,99
  AT+CREG?    +CREG: 0,1               (--sim-pin: +CREG: 0,0)
  AT+COPS?    +COPS: 0,0,"Sim Net"     (--sim-pin: +COPS: 0)
  AT+CSCS=?   +CSCS: ("IRA","GSM","UCS2","PCCP437")   (--no-pccp437: without "PCCP437")
  AT+CSCS?    +CSCS: "IRA", or the set last chosen
AT+CSCS= takes only the sets listed, AT+CMGF= only 0 and 1; every other command gives OK.
A refused AT+CSCS leaves the set as it was, and text-mode messages are decoded in the set the
modem really has. --refuse answers after the confirmation delay, like the result it replaces.

JSON records, one per line, written as they happen:
  {"type":"command","index":N,"t_ms":T,"pause_ms":P,"bytes_hex":"...","text":"...",
   "complete":true}
     T: arrival of the first byte, ms since the start; P: ms since the last byte of the
     previous command (null for the first); text: the bytes with <LF>, <CR>, <Ctrl-Z>, <ESC>,
     <XX>.
  {"type":"message","mode":"text","command":N,"charset":"PCCP437","number":"...",
   "text":"...","number_hex":"...","text_hex":"..."}
  {"type":"message","mode":"pdu","command":N,"charset":"UCS2","number":"+49...",
   "text":"...","toa":"91","dcs":"08","udh":null,"user_data_hex":"...","pdu":"...",
   "cmgs_length":N,"length_ok":true,"error":null}
  {"type":"cancelled","mode":"text","command":N,"number":"...","body_hex":"..."}
     a message whose body ESC ended: nothing was sent (number is null in PDU mode).
  {"type":"answer","t_ms":T,"bytes_hex":"...","text":"...","note":null}
     with --answer ok: bytes written, T when; note says why where an answer may surprise
     ("AT$RESET came without a line end, ...", "unsolicited", "message refused (--refuse)").
  {"type":"cancelled","mode":"text","command":N,"number":"...","body_hex":"...",
   "reason":"early byte","t_ms":T,"byte_hex":"41"}
     with --answer ok: the byte at T came before the modem's result: the message that
     command N carried was given up, nothing was sent.

The simulator ends on SIGINT or SIGTERM, or after the idle time, with exit status 0, after
writing out any command still waiting for its terminator.
)usage";

struct Options {
    std::string link;
    std::string transcript;
    bool json = false;
    double idleExitSeconds = -1;
    bool answer = false;
    AnswerOptions answers;
    const char* needsAnswer = nullptr;  // an option given that only an answering modem takes
};

bool Seconds(const char* name, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(optarg, &end);
    if (end == optarg || *end != '\0' || !(seconds >= 0)) {
        std::fprintf(stderr, "modem-sim: %s needs a number of seconds\n", name);
        return false;
    }
    return true;
}

bool ErrorCode(const char* name, std::optional<int>& code) {
    char* end = nullptr;
    const long value = std::strtol(optarg, &end, 10);
    if (end == optarg || *end != '\0' || value < 0 || value > 999) {
        std::fprintf(stderr, "modem-sim: %s needs an error number from 0 to 999\n", name);
        return false;
    }
    code = static_cast<int>(value);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    static const option kLong[] = {
        {"link", required_argument, nullptr, 'l'},
        {"json", no_argument, nullptr, 'j'},
        {"transcript", required_argument, nullptr, 't'},
        {"idle-exit", required_argument, nullptr, 'i'},
        {"answer", required_argument, nullptr, 'a'},
        {"confirm-delay", required_argument, nullptr, 'd'},
        {"refuse", required_argument, nullptr, 'r'},
        {"refuse-cmgs", required_argument, nullptr, 'c'},
        {"no-pccp437", no_argument, nullptr, 'p'},
        {"sim-pin", no_argument, nullptr, 's'},
        {"urc", no_argument, nullptr, 'u'},
        {"never-confirm", no_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c = 0;
    int index = 0;
    while ((c = getopt_long(argc, argv, "", kLong, &index)) != -1) {
        AnswerOptions& a = options.answers;
        switch (c) {
            case 'l':
                options.link = optarg;
                break;
            case 'j':
                options.json = true;
                break;
            case 't':
                options.transcript = optarg;
                break;
            case 'i':
                if (!Seconds("--idle-exit", options.idleExitSeconds)) return false;
                break;
            case 'a':
                if (std::strcmp(optarg, "ok") != 0 && std::strcmp(optarg, "silent") != 0) {
                    std::fprintf(stderr, "modem-sim: --answer takes silent or ok\n");
                    return false;
                }
                options.answer = std::strcmp(optarg, "ok") == 0;
                break;
            case 'd': {
                double seconds = 0;
                if (!Seconds("--confirm-delay", seconds)) return false;
                a.confirmDelayMs = seconds * 1000.0;
                break;
            }
            case 'r':
                if (!ErrorCode("--refuse", a.refuseBody)) return false;
                break;
            case 'c':
                if (!ErrorCode("--refuse-cmgs", a.refuseCmgs)) return false;
                break;
            case 'p':
                a.noPccp437 = true;
                break;
            case 's':
                a.simPin = true;
                break;
            case 'u':
                a.urc = true;
                break;
            case 'n':
                a.neverConfirm = true;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                std::exit(0);
            default:
                std::fputs("Try 'modem-sim --help'.\n", stderr);
                return false;
        }
        if (c != 'a' && c != 'l' && c != 'j' && c != 't' && c != 'i') {
            options.needsAnswer = kLong[index].name;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "modem-sim: unexpected argument '%s'\n", argv[optind]);
        return false;
    }
    if (options.needsAnswer != nullptr && !options.answer) {
        std::fprintf(stderr, "modem-sim: --%s needs --answer ok\n", options.needsAnswer);
        return false;
    }
    return true;
}

class Simulator {
  public:
    Simulator(std::FILE* out, bool json, std::optional<AnswerOptions> answers)
        : out_(out), json_(json) {
        if (answers) answerer_.emplace(*answers);
    }

    void Input(std::string_view bytes, double ms) {
        if (!answerer_) {
            for (Command& c : splitter_.Feed(bytes, ms)) Record(std::move(c));
            return;
        }
        // Byte by byte, so that each command is recorded with the modem's state as it was when
        // the command ended.
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            for (Command& c : splitter_.Feed(bytes.substr(i, 1), ms)) Record(std::move(c));
            answerer_->Feed(bytes.substr(i, 1), ms);
        }
    }
    void Finish() {
        if (auto rest = splitter_.Flush()) Record(std::move(*rest));
    }

    // When the next answer is due, ms since the start; none for a silent modem.
    std::optional<double> NextAnswerMs() const {
        return answerer_ ? answerer_->NextMs() : std::nullopt;
    }

    // Writes the answers due by `ms` to `fd` and records each at the time `now` gives.
    template <typename Now>
    void WriteAnswers(double ms, int fd, Now now) {
        if (!answerer_) return;
        for (const merel::modem::Answer& a : answerer_->Take(ms)) {
            const double at = now();
            if (a.kind == merel::modem::Answer::Kind::kBytes) WriteAll(fd, a.bytes);
            Write(json_ ? merel::modem::AnswerJson(a, at, lastSent_)
                        : merel::modem::AnswerLine(a, at, lastSent_));
        }
    }

  private:
    void Record(Command command) {
        CommandRecord record;
        record.index = ++count_;
        if (lastMs_) record.pauseMs = command.firstMs - *lastMs_;
        lastMs_ = command.lastMs;
        const std::string bytes = command.bytes;
        record.command = std::move(command);
        Write(json_ ? merel::modem::CommandJson(record) : merel::modem::CommandLine(record));
        if (answerer_) session_.FollowCharset(answerer_->Charset());
        if (auto message = session_.Accept(record.index, bytes)) {
            Write(json_ ? merel::modem::MessageJson(*message)
                        : merel::modem::MessageLine(*message));
            if (!message->cancelled) lastSent_ = std::move(*message);
        }
    }
    void Write(const std::string& line) {
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    // The answers are short; only a port whose input nobody has read for long fills up. What
    // does not fit is lost, as on a serial line; it is said once.
    void WriteAll(int fd, std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = write(fd, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (!toldFull_) {
                    std::fputs(
                        "modem-sim: nobody reads the port: answers that do not fit are "
                        "dropped\n",
                        stderr);
                    toldFull_ = true;
                }
                return;
            }
        }
    }

    std::FILE* out_;
    bool json_;
    AtStreamSplitter splitter_;
    ModemSession session_;
    std::optional<Answerer> answerer_;
    std::optional<merel::modem::Message> lastSent_;
    bool toldFull_ = false;
    int count_ = 0;
    std::optional<double> lastMs_;
};

int Fail(const char* what) {
    std::fprintf(stderr, "modem-sim: %s: %s\n", what, std::strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;

    // Signals arrive through a descriptor, so the loop below sees them between reads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) return Fail("sigprocmask");
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) return Fail("signalfd");

    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return Fail("openpty");
    // The simulator keeps its own slave descriptor open: when the manager closes the port
    // and opens it again, the master would otherwise see a hang-up in between.
    termios raw{};
    if (tcgetattr(slave, &raw) != 0) return Fail("tcgetattr");
    cfmakeraw(&raw);
    if (tcsetattr(slave, TCSANOW, &raw) != 0) return Fail("tcsetattr");
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    const char* device = ptsname(master);
    if (device == nullptr) return Fail("ptsname");
    const std::string devicePath = device;

    if (!options.link.empty()) {
        struct stat st {};
        if (lstat(options.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            unlink(options.link.c_str());
        }
        if (symlink(devicePath.c_str(), options.link.c_str()) != 0) return Fail("symlink");
    }

    std::FILE* out = stdout;
    if (!options.transcript.empty()) {
        out = std::fopen(options.transcript.c_str(), "w");
        if (out == nullptr) {
            if (!options.link.empty()) unlink(options.link.c_str());
            return Fail(options.transcript.c_str());
        }
    }

    std::printf("device: %s\n", devicePath.c_str());
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto lastInput = start;
    const auto sinceStartMs = [&start](Clock::time_point t) {
        return std::chrono::duration<double, std::milli>(t - start).count();
    };

    Simulator simulator(out, options.json,
                        options.answer ? std::optional(options.answers) : std::nullopt);
    const auto nowMs = [&]() { return sinceStartMs(Clock::now()); };
    bool masterQuiet = false;  // the master reported a hang-up; look again a little later
    char buffer[4096];
    int status = 0;
    for (;;) {
        int timeoutMs = -1;
        if (options.idleExitSeconds >= 0) {
            const double leftMs =
                options.idleExitSeconds * 1000.0 -
                std::chrono::duration<double, std::milli>(Clock::now() - lastInput).count();
            if (leftMs <= 0) break;
            timeoutMs = static_cast<int>(leftMs) + 1;
        }
        if (masterQuiet && (timeoutMs < 0 || timeoutMs > 50)) timeoutMs = 50;
        if (const auto next = simulator.NextAnswerMs()) {
            const double leftMs = std::max(0.0, *next - nowMs());
            // Rounded up, so that the answer is due when poll returns.
            const int answerMs = static_cast<int>(leftMs) + (leftMs > static_cast<int>(leftMs));
            if (timeoutMs < 0 || answerMs < timeoutMs) timeoutMs = answerMs;
        }

        // A hang-up is reported even when not asked for, so a quiet master is left out.
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {masterQuiet ? -1 : master, POLLIN, 0}};
        const int ready = poll(fds, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            status = Fail("poll");
            break;
        }
        if (fds[0].revents & POLLIN) break;
        masterQuiet = false;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            const auto now = Clock::now();
            if (n > 0) {
                lastInput = now;
                simulator.Input(std::string_view(buffer, static_cast<std::size_t>(n)),
                                sinceStartMs(now));
                simulator.WriteAnswers(sinceStartMs(now), master, nowMs);
            } else if (n == 0 || errno == EIO) {
                // No writer at the moment (EIO) or a spurious wake-up: wait and poll again.
                masterQuiet = true;
            } else if (errno != EAGAIN && errno != EINTR) {
                status = Fail("read");
                break;
            }
        }
        simulator.WriteAnswers(nowMs(), master, nowMs);
    }

    simulator.Finish();
    if (out != stdout) std::fclose(out);
    if (!options.link.empty()) unlink(options.link.c_str());
    close(slave);
    close(master);
    close(signalFd);
    return status;
}
