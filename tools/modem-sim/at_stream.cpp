#include "at_stream.h"

namespace merel::modem {

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kLf = 0x0A;
constexpr char kCr = 0x0D;
constexpr char kEsc = 0x1B;
constexpr std::string_view kReset = "AT$RESET";

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

std::string_view TrimLineEnds(std::string_view bytes) {
    while (!bytes.empty() && (bytes.front() == kCr || bytes.front() == kLf)) bytes.remove_prefix(1);
    while (!bytes.empty() && (bytes.back() == kCr || bytes.back() == kLf)) bytes.remove_suffix(1);
    return bytes;
}

bool EndsWithEscape(std::string_view bytes) {
    return !bytes.empty() && bytes.back() == kEsc;
}

bool CommandStartsWith(std::string_view bytes, std::string_view prefix) {
    const std::string_view line = TrimLineEnds(bytes);
    if (line.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (Upper(line[i]) != Upper(prefix[i])) return false;
    }
    return true;
}

void AtStreamSplitter::Append(char byte, double ms) {
    if (!hasPending_) {
        pending_ = Command{};
        pending_.firstMs = ms;
        hasPending_ = true;
    }
    pending_.bytes.push_back(byte);
    pending_.lastMs = ms;
}

void AtStreamSplitter::Finish(std::vector<Command>& done, bool body) {
    const bool startsBody =
        !body && !EndsWithEscape(pending_.bytes) && CommandStartsWith(pending_.bytes, "AT+CMGS=");
    done.push_back(std::move(pending_));
    pending_ = Command{};
    hasPending_ = false;
    state_ = startsBody ? State::kBody : State::kLine;
}

std::vector<Command> AtStreamSplitter::Feed(std::string_view bytes, double ms) {
    std::vector<Command> done;
    for (char byte : bytes) {
        switch (state_) {
            case State::kLine:
                Append(byte, ms);
                if (byte == kCr || byte == kEsc || TrimLineEnds(pending_.bytes) == kReset) {
                    Finish(done, false);
                }
                break;
            case State::kBody:
                Append(byte, ms);
                if (byte == kCtrlZ) state_ = State::kAfterCtrlZ;
                if (byte == kEsc) Finish(done, true);
                break;
            case State::kAfterCtrlZ:
            case State::kAfterCtrlZLf:
                if (byte == kLf && state_ == State::kAfterCtrlZ) {
                    Append(byte, ms);
                    state_ = State::kAfterCtrlZLf;
                } else if (byte == kCr && state_ == State::kAfterCtrlZLf) {
                    Append(byte, ms);
                    Finish(done, true);
                } else {
                    // The body ended at its Ctrl-Z; this byte starts the next command.
                    Finish(done, true);
                    Append(byte, ms);
                    if (byte == kCr || byte == kEsc) Finish(done, false);
                }
                break;
        }
    }
    return done;
}

std::optional<Command> AtStreamSplitter::Flush() {
    if (!hasPending_) return std::nullopt;
    Command rest = std::move(pending_);
    // A body that has its Ctrl-Z is whole even if the line end never came.
    rest.complete = state_ == State::kAfterCtrlZ || state_ == State::kAfterCtrlZLf;
    pending_ = Command{};
    hasPending_ = false;
    state_ = State::kLine;
    return rest;
}

}  // namespace merel::modem
