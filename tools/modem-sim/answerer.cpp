#include "answerer.h"

#include <algorithm>
#include <utility>

namespace merel::modem {

namespace {

constexpr char kBackspace = 0x08;
constexpr char kLf = 0x0A;
constexpr char kCr = 0x0D;
constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
// Longer lines are answered ERROR rather than kept without bound.
constexpr std::size_t kMaxLine = 4096;

constexpr std::string_view kOk = "\r\nOK\r\n";
constexpr std::string_view kError = "\r\nERROR\r\n";
constexpr std::string_view kPrompt = "\r\n> ";

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = Upper(c);
    return out;
}

bool IsNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.';
}

// An information response followed by OK.
std::string Info(std::string_view text) {
    std::string out = "\r\n";
    out += text;
    out += "\r\n";
    out += kOk;
    return out;
}

std::string CmsError(int code) {
    return "\r\n+CMS ERROR: " + std::to_string(code) + "\r\n";
}

std::string Unquoted(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

void AddNote(std::string& notes, std::string_view note) {
    if (note.empty()) return;
    if (!notes.empty()) notes += "; ";
    notes += note;
}

}  // namespace

Answerer::Answerer(AnswerOptions options)
    : options_(std::move(options)), pinWanted_(options_.simPin) {}

void Answerer::Queue(double ms, std::string bytes, std::string note) {
    if (bytes.empty()) return;
    Answer answer;
    answer.ms = ms;
    answer.bytes = std::move(bytes);
    answer.note = std::move(note);
    // After everything due at the same time or earlier, so that the order written is the order
    // queued.
    const auto at = std::upper_bound(queue_.begin(), queue_.end(), ms,
                                     [](double t, const Answer& a) { return t < a.ms; });
    queue_.insert(at, std::move(answer));
}

void Answerer::Feed(std::string_view bytes, double ms) {
    // A verdict that fell due before these bytes came is given first, as a modem would have.
    if (verdictMs_ && *verdictMs_ <= ms) SettleVerdict();
    for (const char byte : bytes) {
        switch (state_) {
            case State::kCommand:
                CommandByte(byte);
                break;
            case State::kBody:
                BodyByte(byte, ms);
                break;
            case State::kAfterCtrlZ:
            case State::kAfterCtrlZLf:
            case State::kWaiting:
                AfterCtrlZByte(byte, ms);
                break;
        }
    }
    FlushNow(ms);
}

void Answerer::FlushNow(double ms) {
    Queue(ms, std::exchange(now_, {}), std::exchange(nowNote_, {}));
}

void Answerer::CommandByte(char byte) {
    if (byte == kEsc) {
        // Gives up the line being typed, without an answer.
        line_.clear();
        lineTooLong_ = false;
        return;
    }
    if (echo_) now_.push_back(byte);
    if (byte == kCr) {
        std::string note;
        now_ += Execute(line_, note);
        AddNote(nowNote_, note);
        line_.clear();
        lineTooLong_ = false;
        return;
    }
    if (byte == kBackspace) {
        if (!line_.empty()) line_.pop_back();
        return;
    }
    const auto b = static_cast<unsigned char>(byte);
    if (b < 0x20 || b == 0x7F) return;  // other control characters take no part in a command
    if (line_.size() < kMaxLine) {
        line_.push_back(byte);
    } else {
        lineTooLong_ = true;
    }
}

void Answerer::BodyByte(char byte, double ms) {
    if (byte == kEsc) {
        state_ = State::kCommand;
        now_ += kOk;
        AddNote(nowNote_, "message given up (ESC): nothing sent");
        return;
    }
    if (byte != kCtrlZ) return;  // the body is not echoed
    state_ = State::kAfterCtrlZ;
    if (!options_.neverConfirm) verdictMs_ = ms + options_.confirmDelayMs;
}

void Answerer::AfterCtrlZByte(char byte, double ms) {
    // The LF CR that the manager writes right after Ctrl-Z belong to the message.
    if (state_ == State::kAfterCtrlZ && byte == kLf) {
        state_ = State::kAfterCtrlZLf;
        return;
    }
    if (state_ == State::kAfterCtrlZLf && byte == kCr) {
        state_ = State::kWaiting;
        return;
    }
    // Any other byte before the verdict makes the modem give the message up, as real modems
    // do; the byte then counts as input to the command line.
    FlushNow(ms);
    Answer cancelled;
    cancelled.kind = Answer::Kind::kCancelled;
    cancelled.ms = ms;
    cancelled.bytes = std::string(1, byte);
    cancelled.note = "a byte arrived before the modem's verdict: the message was given up, unsent";
    const auto at = std::upper_bound(queue_.begin(), queue_.end(), ms,
                                     [](double t, const Answer& a) { return t < a.ms; });
    queue_.insert(at, std::move(cancelled));
    verdictMs_.reset();
    state_ = State::kCommand;
    CommandByte(byte);
}

void Answerer::SettleVerdict() {
    const double ms = *verdictMs_;
    verdictMs_.reset();
    state_ = State::kCommand;
    if (options_.refuseBody) {
        Queue(ms, CmsError(*options_.refuseBody), "message refused (--refuse)");
        return;
    }
    std::string bytes = "\r\n+CMGS: " + std::to_string(reference_) + "\r\n";
    bytes += kOk;
    reference_ = (reference_ + 1) % 256;
    Queue(ms, std::move(bytes));
}

std::string Answerer::Execute(std::string_view line, std::string& note) {
    // Whatever comes before the "AT" prefix is not part of the command.
    const std::string upper = UpperCase(line);
    const auto prefix = upper.find("AT");
    if (prefix == std::string::npos) return {};
    if (lineTooLong_) {
        note = "command line too long";
        return std::string(kError);
    }
    const std::string_view command = std::string_view(line).substr(prefix + 2);
    const std::string_view upperCommand = std::string_view(upper).substr(prefix + 2);
    if (command.empty()) return std::string(kOk);

    constexpr std::string_view kReset = "$RESET";
    if (upperCommand.size() > kReset.size() && upperCommand.substr(0, kReset.size()) == kReset) {
        note = "AT$RESET came without a line end, so the next command shares its line";
        return std::string(kError);
    }

    const char first = command.front();
    if ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first == '&') {
        // Basic commands: only the echo setting changes anything here.
        if (upperCommand == "E0") echo_ = false;
        if (upperCommand == "E1" || upperCommand == "E") echo_ = true;
        return std::string(kOk);
    }
    if (std::string_view("+$^%*#!").find(first) == std::string_view::npos) {
        note = "not a command";
        return std::string(kError);
    }
    std::size_t end = 1;
    while (end < command.size() && IsNameChar(command[end])) ++end;
    const std::string name(upperCommand.substr(0, end));
    const std::string_view rest = command.substr(end);
    const bool action = rest.empty(), read = rest == "?", test = rest == "=?";
    const bool set = !test && !rest.empty() && rest.front() == '=';
    if (!action && !read && !test && !set) {
        note = "not a command";
        return std::string(kError);
    }
    const std::string_view value = set ? rest.substr(1) : std::string_view{};

    if (name == "+CGMI" && action) return Info(kManufacturer);
    if (name == "+CGMM" && action) return Info(kModel);
    if (name == "+CGMR" && action) return Info(kRevision);
    if (name == "+CSQ" && action) return Info(kSignal);
    if (name == "+CPIN" && read) return Info(pinWanted_ ? "+CPIN: SIM PIN" : "+CPIN: READY");
    if (name == "+CPIN" && set) {
        pinWanted_ = false;  // any PIN will do
        return std::string(kOk);
    }
    if (name == "+CREG" && read) return Info(pinWanted_ ? "+CREG: 0,0" : "+CREG: 0,1");
    if (name == "+COPS" && read) {
        if (pinWanted_) return Info("+COPS: 0");
        std::string answer = "+COPS: 0,0,\"";
        answer += kOperator;
        answer += "\"";
        return Info(answer);
    }
    if (name == "+CSCS") {
        if (test) {
            return Info(options_.noPccp437 ? "+CSCS: (\"IRA\",\"GSM\",\"UCS2\")"
                                           : "+CSCS: (\"IRA\",\"GSM\",\"UCS2\",\"PCCP437\")");
        }
        if (read) return Info("+CSCS: \"" + charset_ + "\"");
        if (set) {
            const std::string wanted = UpperCase(Unquoted(value));
            const bool offered = wanted == "IRA" || wanted == "GSM" || wanted == "UCS2" ||
                                 (wanted == "PCCP437" && !options_.noPccp437);
            if (!offered) {
                note = "character set not offered";
                return std::string(kError);
            }
            charset_ = wanted;
        }
        return std::string(kOk);
    }
    if (name == "+CMGF") {
        if (test) return Info("+CMGF: (0,1)");
        if (set && value != "0" && value != "1") return std::string(kError);
        return std::string(kOk);
    }
    if (name == "+CMGS" && set) return Cmgs(note);
    return std::string(kOk);
}

std::string Answerer::Cmgs(std::string& note) {
    if (pinWanted_) {
        note = "the SIM waits for its PIN";
        return CmsError(311);
    }
    if (options_.refuseCmgs) {
        note = "AT+CMGS refused (--refuse-cmgs)";
        return CmsError(*options_.refuseCmgs);
    }
    state_ = State::kBody;
    return std::string(kPrompt);
}

bool Answerer::UrcAllowed() const {
    // No unsolicited line breaks into the entry of a message.
    return options_.urc && state_ != State::kBody;
}

std::optional<double> Answerer::NextMs() const {
    std::optional<double> next;
    const auto consider = [&next](double ms) {
        if (!next || ms < *next) next = ms;
    };
    if (!queue_.empty()) consider(queue_.front().ms);
    if (verdictMs_) consider(*verdictMs_);
    if (UrcAllowed()) consider(nextUrcMs_);
    return next;
}

std::vector<Answer> Answerer::Take(double ms) {
    std::vector<Answer> out;
    for (;;) {
        if (verdictMs_ && *verdictMs_ <= ms &&
            (queue_.empty() || *verdictMs_ < queue_.front().ms)) {
            SettleVerdict();
        }
        const bool urcDue = UrcAllowed() && nextUrcMs_ <= ms;
        const bool queued = !queue_.empty() && queue_.front().ms <= ms;
        if (!urcDue && !queued) break;
        Answer next;
        if (urcDue && (!queued || nextUrcMs_ < queue_.front().ms)) {
            next.ms = nextUrcMs_;
            next.bytes = urcCount_++ % 2 == 0 ? "\r\n^RSSI: 17\r\n" : "\r\n+CREG: 1\r\n";
            next.note = "unsolicited";
            // Lines missed while a message was being entered are not made up for.
            while (nextUrcMs_ <= ms) nextUrcMs_ += kUrcPeriodMs;
        } else {
            next = std::move(queue_.front());
            queue_.erase(queue_.begin());
        }
        if (!out.empty() && next.kind == Answer::Kind::kBytes &&
            out.back().kind == Answer::Kind::kBytes && out.back().ms == next.ms) {
            out.back().bytes += next.bytes;
            AddNote(out.back().note, next.note);
        } else {
            out.push_back(std::move(next));
        }
    }
    return out;
}

}  // namespace merel::modem
