#include "host/common/call_record.h"

#include <array>
#include <cstdio>

#include "base/narrow.h"
#include "manager/sms_mgr.h"

namespace merel::host {

namespace {

bool IsSend(std::string_view method) {
    return method == "SendTextMessage" || method == "SendPDUMessage" || method == "SendMessage" ||
           method == "SendConfirmed";
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string Hex(HRESULT hr) {
    std::array<char, 11> text{};
    std::snprintf(text.data(), text.size(), "0x%08X", static_cast<unsigned>(hr));
    return text.data();
}

std::string Seconds(std::chrono::milliseconds duration) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.2f s",
                  static_cast<double>(duration.count()) / 1000.0);
    return text.data();
}

// Every occurrence of `whole` in `text` replaced by `masked`.
std::string Masked(std::string text, std::string_view whole, std::string_view masked) {
    if (whole.empty()) return text;
    for (std::size_t at = text.find(whole); at != std::string::npos;
         at = text.find(whole, at + masked.size())) {
        text.replace(at, whole.size(), masked);
    }
    return text;
}

bool NeedsQuotes(std::string_view value) {
    if (value.empty()) return true;
    for (char c : value) {
        if (c == ' ' || c == '"' || c == '\\' || c == '[' || c == ']') return true;
    }
    return false;
}

void AppendValue(std::string& line, std::string_view value) {
    if (!NeedsQuotes(value)) {
        line.append(value);
        return;
    }
    line.push_back('"');
    for (char c : value) {
        if (c == '"' || c == '\\') line.push_back('\\');
        line.push_back(c);
    }
    line.push_back('"');
}

}  // namespace

bool IsRecorded(std::string_view method) {
    return IsSend(method) || method == "Init" || method == "TestPort" || method == "SetSettings" ||
           method == "CheckModem";
}

std::string MaskNumber(std::string_view number) {
    std::size_t digits = 0;
    for (char c : number) digits += IsDigit(c) ? 1 : 0;
    // Digits kept at the front: the two after a leading '+', unless that would leave fewer than
    // three hidden.
    std::size_t keptFront = 0;
    if (!number.empty() && number.front() == '+' && digits >= 2 + 3 + 3) keptFront = 2;
    std::string masked;
    masked.reserve(number.size());
    std::size_t seen = 0;
    for (char c : number) {
        if (!IsDigit(c)) {
            // Only separators are kept; anything else could carry more than a number.
            masked.push_back(c == '+' || c == ' ' || c == '-' || c == '(' || c == ')' ? c : '*');
            continue;
        }
        ++seen;
        masked.push_back(seen <= keptFront || seen + 3 > digits ? c : '*');
    }
    return masked;
}

CallRecord RecordOf(const CSMSMgr& manager, std::string_view method, HRESULT hr,
                    std::string_view error, std::chrono::milliseconds duration,
                    std::optional<std::u16string_view> number) {
    CallRecord record;
    record.method = std::string(method);
    record.hr = hr;
    record.port = Utf16ToUtf8(manager.m_strPort);
    record.duration = duration;
    std::string whole;
    if (number) {
        whole = Utf16ToUtf8(*number);
        record.number = MaskNumber(whole);
    }
    record.error = Masked(std::string(error), whole, record.number.value_or(""));
    if (IsSend(method)) {
        const CSMSMgr::ModemReport& report = manager.LastModemReport();
        if (report.mode == 0) record.mode = "text";
        if (report.mode == 1) record.mode = "PDU";
        if (!Failed(hr) && report.reference >= 0) record.reference = report.reference;
    }
    return record;
}

int Priority(const CallRecord& record) {
    if (Failed(record.hr)) return 3;
    if (IsSend(record.method) && !record.reference) return 4;
    return 6;
}

std::string RecordMessage(const CallRecord& record) {
    std::string message = record.method;
    if (record.number) message.append(" to ").append(*record.number);
    if (!record.mode.empty()) message.append(" in ").append(record.mode).append(" mode");
    message.append(": ");
    if (Failed(record.hr)) {
        message.append(record.error.empty() ? "failed with " + Hex(record.hr) : record.error);
    } else if (!IsSend(record.method)) {
        message.append("succeeded");
    } else if (record.reference) {
        message.append("confirmed by the modem, reference ")
            .append(std::to_string(*record.reference));
    } else {
        message.append("sent, not confirmed by the modem");
    }
    if (!record.port.empty() && !record.number) message.append(", port ").append(record.port);
    message.append(" (").append(Seconds(record.duration)).append(")");
    return message;
}

std::vector<std::pair<std::string, std::string>> RecordFields(const CallRecord& record) {
    std::vector<std::pair<std::string, std::string>> fields;
    auto add = [&](const char* key, std::string value) {
        if (!value.empty()) fields.emplace_back(key, std::move(value));
    };
    add("MEREL_METHOD", record.method);
    add("MEREL_HRESULT", Hex(record.hr));
    add("MEREL_ERROR", record.error);
    add("MEREL_PORT", record.port);
    add("MEREL_MODE", record.mode);
    add("MEREL_DURATION_MS", std::to_string(record.duration.count()));
    add("MEREL_CALLER", record.caller);
    if (record.callerUid) add("MEREL_CALLER_UID", std::to_string(*record.callerUid));
    if (record.callerPid) add("MEREL_CALLER_PID", std::to_string(*record.callerPid));
    if (record.number) add("MEREL_NUMBER", *record.number);
    if (IsSend(record.method) && !Failed(record.hr)) {
        add("MEREL_CONFIRMED", record.reference ? "1" : "0");
    }
    if (record.reference) add("MEREL_REFERENCE", std::to_string(*record.reference));
    return fields;
}

std::string FallbackLine(const CallRecord& record, std::string_view time) {
    // Appended: mingw's GCC 12 warns falsely on "<" + std::string.
    std::string line = "<";
    line.append(std::to_string(Priority(record))).append(">");
    // The line ends where the message ends: a line break inside would start a record of its own.
    for (char c : RecordMessage(record)) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    line.append(" [");
    auto fields = RecordFields(record);
    fields.emplace_back("MEREL_TIME", std::string(time));
    bool first = true;
    for (const auto& [key, value] : fields) {
        if (!first) line.push_back(' ');
        first = false;
        line.append(key).push_back('=');
        std::string flat;
        for (char c : value) flat.push_back(c == '\n' || c == '\r' ? ' ' : c);
        AppendValue(line, flat);
    }
    line.push_back(']');
    return line;
}

std::optional<std::vector<std::pair<std::string, std::string>>> ParseFallbackLine(
    std::string_view line) {
    // "<N>", the message, " [", the fields, "]".
    if (line.size() < 4 || line[0] != '<' || !IsDigit(line[1]) || line[2] != '>') {
        return std::nullopt;
    }
    const std::size_t open = line.find(" [MEREL_METHOD=");
    if (open == std::string_view::npos || line.back() != ']') return std::nullopt;
    std::vector<std::pair<std::string, std::string>> fields;
    fields.emplace_back("PRIORITY", std::string(1, line[1]));
    fields.emplace_back("MESSAGE", std::string(line.substr(3, open - 3)));
    std::string_view rest = line.substr(open + 2, line.size() - open - 3);
    while (!rest.empty()) {
        const std::size_t equals = rest.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
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

}  // namespace merel::host
