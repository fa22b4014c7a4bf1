// modem-sim: a GSM modem that only listens. It offers a pseudo terminal in place of a serial
// port, records every byte written to it and reads the SMS submissions out of the stream.
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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "at_stream.h"
#include "session.h"
#include "transcript.h"

namespace {

using merel::modem::AtStreamSplitter;
using merel::modem::Command;
using merel::modem::CommandRecord;
using merel::modem::ModemSession;

constexpr const char* kUsage = R"(Usage: modem-sim [options]

A simulated GSM modem for trying MerelSMSManager without hardware. It opens a pseudo
terminal, prints the device to use as the port on its first line of standard output:

  device: /dev/pts/N

and records everything written to that device. Name the device (or the --link path) in the
"Port:" line of SMSMgr.ini. The simulator never answers: like the manager, it only listens.

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
  --help              show this text

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

The simulator ends on SIGINT or SIGTERM, or after the idle time, with exit status 0, after
writing out any command still waiting for its terminator.
)";

struct Options {
    std::string link;
    std::string transcript;
    bool json = false;
    double idleExitSeconds = -1;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    static const option kLong[] = {
        {"link", required_argument, nullptr, 'l'},
        {"json", no_argument, nullptr, 'j'},
        {"transcript", required_argument, nullptr, 't'},
        {"idle-exit", required_argument, nullptr, 'i'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c = 0;
    while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
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
            case 'i': {
                char* end = nullptr;
                options.idleExitSeconds = std::strtod(optarg, &end);
                if (end == optarg || *end != '\0' || options.idleExitSeconds < 0) {
                    std::fprintf(stderr, "modem-sim: --idle-exit needs a number of seconds\n");
                    return false;
                }
                break;
            }
            case 'h':
                std::fputs(kUsage, stdout);
                std::exit(0);
            default:
                std::fputs("Try 'modem-sim --help'.\n", stderr);
                return false;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "modem-sim: unexpected argument '%s'\n", argv[optind]);
        return false;
    }
    return true;
}

class Simulator {
  public:
    Simulator(std::FILE* out, bool json) : out_(out), json_(json) {}

    void Input(std::string_view bytes, double ms) {
        for (Command& c : splitter_.Feed(bytes, ms)) Record(std::move(c));
    }
    void Finish() {
        if (auto rest = splitter_.Flush()) Record(std::move(*rest));
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
        if (auto message = session_.Accept(record.index, bytes)) {
            Write(json_ ? merel::modem::MessageJson(*message)
                        : merel::modem::MessageLine(*message));
        }
    }
    void Write(const std::string& line) {
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }

    std::FILE* out_;
    bool json_;
    AtStreamSplitter splitter_;
    ModemSession session_;
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

    Simulator simulator(out, options.json);
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
            } else if (n == 0 || errno == EIO) {
                // No writer at the moment (EIO) or a spurious wake-up: wait and poll again.
                masterQuiet = true;
            } else if (errno != EAGAIN && errno != EINTR) {
                status = Fail("read");
                break;
            }
        }
    }

    simulator.Finish();
    if (out != stdout) std::fclose(out);
    if (!options.link.empty()) unlink(options.link.c_str());
    close(slave);
    close(master);
    close(signalFd);
    return status;
}
