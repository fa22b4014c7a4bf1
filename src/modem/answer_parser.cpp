#include "modem/answer_parser.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace merel::modem {

namespace {

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// Control characters (the message's Ctrl-Z, NUL from a line starting up) are neither text nor
// line ends; a tab is text.
bool IsControl(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7F;
}

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view start) {
    if (text.size() < start.size()) return false;
    for (std::size_t i = 0; i < start.size(); ++i) {
        if (Upper(text[i]) != Upper(start[i])) return false;
    }
    return true;
}

// "+CSQ" of "+CSQ: 17,99", "^RSSI" of "^RSSI:12", upper case; empty for a line without one.
std::string LinePrefix(std::string_view line) {
    if (line.size() < 2 || (line[0] != '+' && line[0] != '^')) return {};
    std::string prefix(1, line[0]);
    std::size_t i = 1;
    while (i < line.size() && IsNameChar(line[i])) prefix.push_back(Upper(line[i++]));
    if (prefix.size() == 1) return {};
    if (i < line.size() && line[i] != ':') return {};
    return prefix;
}

// The name of the extended command on a command line ("+CMGS" of AT+CMGS="123"), upper case;
// empty for basic commands (AT, ATI, ATE0).
std::string CommandName(std::string_view line) {
    line.remove_prefix(2);  // AT
    if (line.empty() || (line[0] != '+' && line[0] != '^' && line[0] != '$' && line[0] != '%' &&
                         line[0] != '*' && line[0] != '#')) {
        return {};
    }
    std::string name(1, line[0]);
    for (std::size_t i = 1; i < line.size() && IsNameChar(line[i]); ++i) {
        name.push_back(Upper(line[i]));
    }
    return name;
}

// The digits that start the text after leading spaces, as a number; -1 when there are none or
// too many to be a code.
int LeadingNumber(std::string_view text, bool wholeText) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    if (digits == 0 || digits > 6) return -1;
    if (wholeText && digits != text.size()) return -1;
    return std::stoi(std::string(text.substr(0, digits)));
}

// Final results that some modems give instead of ERROR.
constexpr std::string_view kWordErrors[] = {"COMMAND NOT SUPPORT", "TOO MANY PARAMETERS"};

}  // namespace

bool IsFinalResult(const AnswerEvent& event) {
    switch (event.kind) {
        case AnswerKind::kOk:
        case AnswerKind::kError:
        case AnswerKind::kCmsError:
        case AnswerKind::kCmeError:
            return true;
        default:
            return false;
    }
}

void AnswerParser::Wrote(std::string_view bytes) {
    std::string_view start = bytes;
    while (!start.empty() && (IsControl(start.front()) || IsLineEnd(start.front()))) {
        start.remove_prefix(1);
    }
    // After the prompt, whatever comes is the message, even one that starts with "At".
    const bool message = promptSeen_ || !StartsWithNoCase(start, "AT");
    if (!message) {
        command_ = CommandName(start);
        awaiting_ = true;
    }
    promptSeen_ = false;

    // The modem echoes our bytes as it reads them, one line at a time; a line left open by the
    // last write goes on with this one.
    echoes_.clear();
    carried_ = openEcho_;
    for (char c : bytes) {
        if (IsLineEnd(c)) {
            if (!openEcho_.empty()) echoes_.push_back(std::move(openEcho_));
            openEcho_.clear();
        } else if (!IsControl(c)) {
            openEcho_.push_back(c);
        }
    }
}

std::vector<AnswerEvent> AnswerParser::Feed(std::string_view bytes) {
    transcript_.Append(bytes);
    std::vector<AnswerEvent> events;
    for (char c : bytes) {
        if (IsLineEnd(c)) {
            if (!line_.empty()) EndLine(events);
            lineCut_ = false;
            continue;
        }
        if (IsControl(c) || lineCut_) continue;
        line_.push_back(c);
        if (line_.size() >= kMaxLine) {
            EndLine(events);
            lineCut_ = true;
        } else if (line_ == "> " && !PromptMayBeEcho()) {
            line_.clear();
            promptSeen_ = true;
            events.push_back({AnswerKind::kPrompt, "> "});
        }
    }
    return events;
}

std::string AnswerParser::TakeTranscript() {
    std::string text = transcript_.Text();
    transcript_.Clear();
    return text;
}

void AnswerParser::EndLine(std::vector<AnswerEvent>& events) {
    // A line of blanks is an empty line.
    if (line_.find_first_not_of(" \t") == std::string::npos) {
        line_.clear();
        return;
    }
    AnswerEvent event = Classify(std::move(line_));
    line_.clear();
    // The echo comes before any answer (an unsolicited line may still slip in before it): once
    // the modem answers, a line like the one written (a message "OK" with echo off) is the
    // modem's own.
    if (event.kind != AnswerKind::kEcho && event.kind != AnswerKind::kUnsolicited) {
        echoes_.clear();
    }
    if (IsFinalResult(event)) awaiting_ = false;
    events.push_back(std::move(event));
}

bool AnswerParser::IsEcho(const std::string& line) {
    // An unsolicited line may break the echo of an open line (AT$RESET) in two: its start
    // shows as a line of its own, and the next write's echo without it.
    if (!openEcho_.empty() && line == openEcho_) return true;
    for (auto it = echoes_.begin(); it != echoes_.end(); ++it) {
        const bool joined = it == echoes_.begin() && !carried_.empty() &&
                            it->size() == carried_.size() + line.size() &&
                            it->starts_with(carried_) && it->ends_with(line);
        if (*it == line || joined) {
            echoes_.erase(echoes_.begin(), it + 1);
            return true;
        }
    }
    return false;
}

bool AnswerParser::PromptMayBeEcho() const {
    return !echoes_.empty() && echoes_.front().starts_with("> ");
}

AnswerEvent AnswerParser::Classify(std::string line) {
    if (IsEcho(line)) return {AnswerKind::kEcho, std::move(line)};
    while (!line.empty() && line.back() == ' ') line.pop_back();

    if (line == "OK" || line == "0") return {AnswerKind::kOk, std::move(line)};
    if (line == "ERROR" || line == "4" ||
        std::find(std::begin(kWordErrors), std::end(kWordErrors), line) != std::end(kWordErrors)) {
        return {AnswerKind::kError, std::move(line)};
    }
    if (line.starts_with("+CMS ERROR:") || line.starts_with("+CME ERROR:")) {
        const int number = LeadingNumber(std::string_view(line).substr(11), true);
        const AnswerKind kind = line[3] == 'S' ? AnswerKind::kCmsError : AnswerKind::kCmeError;
        return {kind, std::move(line), number};
    }
    if (line == "RING" || line == "NO CARRIER" || line == "2" || line == "3") {
        return {AnswerKind::kUnsolicited, std::move(line)};
    }

    const std::string prefix = LinePrefix(line);
    if (prefix == "+CMGS") {
        std::string_view rest = std::string_view(line).substr(prefix.size());
        if (!rest.empty()) rest.remove_prefix(1);  // the colon
        const int reference = LeadingNumber(rest, false);
        if (reference >= 0 && reference <= 255) {
            return {AnswerKind::kMessageReference, std::move(line), reference};
        }
    }
    if (!prefix.empty()) {
        const bool answers = awaiting_ && prefix == command_;
        return {answers ? AnswerKind::kInformation : AnswerKind::kUnsolicited, std::move(line)};
    }
    return {awaiting_ ? AnswerKind::kInformation : AnswerKind::kUnsolicited, std::move(line)};
}

}  // namespace merel::modem
