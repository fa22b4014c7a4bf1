#include "interface/record_line.h"

#include <cstdio>

namespace merel::wire {

namespace {

constexpr std::string_view kFieldsStart = " [MEREL_";

bool NeedsQuotes(std::string_view value) {
    if (value.empty()) return true;
    for (char c : value) {
        // A line break is written as a space, so it needs the quotes as much.
        if (c == ' ' || c == '\n' || c == '\r' || c == '"' || c == '\\' || c == '[' || c == ']') {
            return true;
        }
    }
    return false;
}

void AppendFlat(std::string& line, std::string_view text) {
    for (char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
}

void AppendValue(std::string& line, std::string_view value) {
    if (!NeedsQuotes(value)) {
        AppendFlat(line, value);
        return;
    }
    line.push_back('"');
    for (char c : value) {
        if (c == '"' || c == '\\') line.push_back('\\');
        line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    }
    line.push_back('"');
}

}  // namespace

std::string RecordSeconds(long long milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(milliseconds) / 1000.0);
    return text;
}

std::string RecordLine(int priority, std::string_view message, const RecordFields& fields) {
    std::string line = "<";
    line.append(std::to_string(priority)).push_back('>');
    // The fields start at the first " [MEREL_"; a message that holds it (a port named so) has
    // its bracket turned, so that the fields are still found.
    std::string flat;
    AppendFlat(flat, message);
    for (std::size_t at = flat.find(kFieldsStart); at != std::string::npos;
         at = flat.find(kFieldsStart, at)) {
        flat[at + 1] = '(';
    }
    line.append(flat);
    line.append(" [");
    bool first = true;
    for (const auto& [key, value] : fields) {
        if (!first) line.push_back(' ');
        first = false;
        line.append(key).push_back('=');
        AppendValue(line, value);
    }
    line.push_back(']');
    return line;
}

std::optional<RecordFields> ParseRecordLine(std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.size() < 4 || line[0] != '<' || line[1] < '0' || line[1] > '7' || line[2] != '>') {
        return std::nullopt;
    }
    // A value may hold " [MEREL_" too, but only after the first.
    const std::size_t open = line.find(kFieldsStart);
    if (open == std::string_view::npos || open < 3 || line.back() != ']') return std::nullopt;
    RecordFields fields;
    fields.emplace_back("PRIORITY", std::string(1, line[1]));
    fields.emplace_back("MESSAGE", std::string(line.substr(3, open - 3)));
    std::string_view rest = line.substr(open + 2, line.size() - open - 3);
    while (!rest.empty()) {
        const std::size_t equals = rest.find('=');
        if (equals == std::string_view::npos || equals == 0) return std::nullopt;
        std::string key(rest.substr(0, equals));
        rest.remove_prefix(equals + 1);
        std::string value;
        if (!rest.empty() && rest.front() == '"') {
            std::size_t i = 1;
            for (; i < rest.size() && rest[i] != '"'; ++i) {
                if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
                value.push_back(rest[i]);
            }
            if (i >= rest.size()) return std::nullopt;
            rest.remove_prefix(i + 1);
        } else {
            const std::size_t end = rest.find(' ');
            value = std::string(rest.substr(0, end));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
        }
        if (!rest.empty()) {
            if (rest.front() != ' ') return std::nullopt;
            rest.remove_prefix(1);
        }
        fields.emplace_back(std::move(key), std::move(value));
    }
    return fields;
}

}  // namespace merel::wire
