#include "host/common/call_record.h"

#include "base/narrow.h"
#include "interface/hresult_text.h"
#include "interface/record_line.h"
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

// Every occurrence of `whole` in `text` replaced by `masked`.
std::string Masked(std::string text, std::string_view whole, std::string_view masked) {
    if (whole.empty()) return text;
    for (std::size_t at = text.find(whole); at != std::string::npos;
         at = text.find(whole, at + masked.size())) {
        text.replace(at, whole.size(), masked);
    }
    return text;
}

}  // namespace

bool IsRecorded(std::string_view method) {
    return IsSend(method) || method == "Init" || method == "TestPort" || method == "SetSettings" ||
           method == "CheckModem";
}

std::string MaskNumber(std::string_view number) {
    std::size_t digits = 0;
    for (char c : number) digits += IsDigit(c) ? 1 : 0;
    // Digits kept at the front: after a leading '+', the country. That is the first group when
    // a separator ends it within three digits ("+1 555 0100"), else the first two; none when
    // fewer than four digits would stay hidden.
    std::size_t keptFront = 0;
    if (!number.empty() && number.front() == '+') {
        std::size_t group = 1;
        while (group < number.size() && IsDigit(number[group])) ++group;
        keptFront = group < number.size() && group - 1 <= 3 ? group - 1 : 2;
        if (digits < keptFront + 4 + 3) keptFront = 0;
    }
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
        if (record.error.empty()) {
            message.append("failed with ").append(wire::FormatHResult(record.hr));
        } else {
            message.append(record.error);
        }
    } else if (!IsSend(record.method)) {
        message.append("succeeded");
    } else if (record.reference) {
        message.append("confirmed by the modem, reference ")
            .append(std::to_string(*record.reference));
    } else {
        message.append("sent, not confirmed by the modem");
    }
    if (!Failed(record.hr) && !record.port.empty() && !record.number) {
        message.append(", port ").append(record.port);
    }
    message.append(" (").append(wire::RecordSeconds(record.duration.count())).append(")");
    return message;
}

wire::RecordFields RecordFields(const CallRecord& record) {
    wire::RecordFields fields;
    auto add = [&](const char* key, std::string value) {
        if (!value.empty()) fields.emplace_back(key, std::move(value));
    };
    add("MEREL_METHOD", record.method);
    add("MEREL_HRESULT", wire::FormatHResult(record.hr));
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
    wire::RecordFields fields = RecordFields(record);
    fields.emplace_back("MEREL_TIME", std::string(time));
    return wire::RecordLine(Priority(record), RecordMessage(record), fields);
}

}  // namespace merel::host
