#include "cli/json.h"

#include <cstdio>

#include "base/narrow.h"

namespace merel::cli {

std::string JsonString(std::string_view text) {
    // Bytes that are not UTF-8 (an argument echoed in a usage error) become U+FFFD, so that
    // every line printed parses.
    const std::string valid = Utf16ToUtf8(Utf8ToUtf16(text));
    std::string out = "\"";
    for (const char c : valid) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
                    out += escape;
                } else {
                    out += c;  // UTF-8 passes through
                }
        }
    }
    out += '"';
    return out;
}

std::string JsonObject::Text() const {
    std::string text = "{";
    text += members_;
    text += '}';
    return text;
}

JsonObject& JsonObject::Append(const JsonObject& other) {
    if (!members_.empty() && !other.members_.empty()) members_ += ',';
    members_ += other.members_;
    return *this;
}

void JsonObject::Key(std::string_view key) {
    if (!members_.empty()) members_ += ',';
    members_ += JsonString(key);
    members_ += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
    Key(key);
    members_ += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
    Key(key);
    members_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, long long value) {
    Key(key);
    members_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
    Key(key);
    members_ += json;
    return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
    Key(key);
    members_ += "null";
    return *this;
}

JsonObject& JsonObject::AddNumber(std::string_view key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    Key(key);
    members_ += text;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, const std::vector<std::string>& values) {
    Key(key);
    members_ += "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) members_ += ',';
        members_ += JsonString(values[i]);
    }
    members_ += "]";
    return *this;
}

}  // namespace merel::cli
