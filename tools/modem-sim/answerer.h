// What an answering modem writes back: echo, final results, the message prompt, the network's
// verdict on a message, and unsolicited lines, each with the time it is due. Pure: the program
// feeds it the bytes it read and writes what it gives, so the behaviour is testable without a
// terminal.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace merel::modem {

struct AnswerOptions {
    double confirmDelayMs = 2500;   // from a body's Ctrl-Z to the network's verdict
    std::optional<int> refuseBody;  // every body is answered +CMS ERROR: n
    std::optional<int> refuseCmgs;  // AT+CMGS is answered +CMS ERROR: n, without a prompt
    bool noPccp437 = false;         // character set "PCCP437" is not offered
    bool simPin = false;            // the SIM waits for its PIN
    bool urc = false;               // an unsolicited line every kUrcPeriodMs
    bool neverConfirm = false;      // a body gets no verdict at all
};

inline constexpr double kUrcPeriodMs = 300;

struct Answer {
    enum class Kind {
        kBytes,      // bytes to write to the port
        kCancelled,  // a byte arrived before the verdict: the message is given up, unsent
    };
    Kind kind = Kind::kBytes;
    double ms = 0;      // when it is due, ms since the start
    std::string bytes;  // kBytes: what to write; kCancelled: the byte that cancelled
    std::string note;   // why, where the answer would surprise a reader; else empty
};

// The fixed identity and state the queries report.
inline constexpr std::string_view kManufacturer = "Merel Simulated";
inline constexpr std::string_view kModel = "GSM Modem";
inline constexpr std::string_view kRevision = "1.0";
inline constexpr std::string_view kSignal = "+CSQ: 17,99";
inline constexpr std::string_view kOperator = "Sim Net";

class Answerer {
  public:
    explicit Answerer(AnswerOptions options);

    // Bytes that arrived together at `ms`. What they call for is queued, due at once (echo,
    // results) or later (the verdict on a message).
    void Feed(std::string_view bytes, double ms);

    // When the next queued or periodic answer is due; none while nothing is planned.
    std::optional<double> NextMs() const;

    // The answers due by `ms`, in order; answers due at the same time are given as one.
    std::vector<Answer> Take(double ms);

    // The character set in use: the last one AT+CSCS chose and the modem took.
    const std::string& Charset() const { return charset_; }

  private:
    enum class State {
        kCommand,       // reading a command line
        kBody,          // after the prompt, up to Ctrl-Z or ESC
        kAfterCtrlZ,    // the message went to the network; only its own LF CR may follow
        kAfterCtrlZLf,  // ... the LF came, the CR may follow
        kWaiting        // waiting for the verdict: any byte gives the message up
    };

    void CommandByte(char byte);
    void BodyByte(char byte, double ms);
    void AfterCtrlZByte(char byte, double ms);
    std::string Execute(std::string_view line, std::string& note);
    std::string Cmgs(std::string& note);
    void Queue(double ms, std::string bytes, std::string note = {});
    void FlushNow(double ms);
    void SettleVerdict();
    bool UrcAllowed() const;

    AnswerOptions options_;
    State state_ = State::kCommand;
    bool echo_ = true;
    bool pinWanted_;
    std::string charset_ = "IRA";
    std::string line_;
    bool lineTooLong_ = false;
    std::optional<double> verdictMs_;  // when the verdict on the message sent is due
    std::string now_;                  // what the bytes being fed call for at once
    std::string nowNote_;
    int reference_ = 0;
    double nextUrcMs_ = kUrcPeriodMs;
    int urcCount_ = 0;
    std::vector<Answer> queue_;  // sorted by time
};

}  // namespace merel::modem
