// Shaped like Alertmanager's own default title, `[FIRING:2] HighLoad: summary`, so that the text
// reads the same as in its other receivers. Every field is optional: a field that is missing or
// of another type is treated as absent, as senders other than Alertmanager itself fill them in
// unevenly.
#include "http/alertmanager.h"

#include <nlohmann/json.hpp>

namespace merel::http {
namespace {

using nlohmann::json;

// The member `key` of `object`, or null when `object` is no object or has no such member.
const json* Member(const json* object, const char* key) {
    if (object == nullptr || !object->is_object()) return nullptr;
    const auto found = object->find(key);
    return found == object->end() ? nullptr : &*found;
}

// The string member `key`, or "" when it is missing or no string.
std::string StringMember(const json* object, const char* key) {
    const json* value = Member(object, key);
    return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
}

// Control characters (line breaks and tabs among them) become spaces and runs of spaces one: an
// SMS is one short line, and a summary written for a web page often spans several.
std::string OneLine(std::string_view text) {
    std::string line;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool space = byte <= 0x20 || byte == 0x7F;
        if (!space) {
            line += c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    if (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// The group's name: its grouping labels' values, the alert name first; else the alert name the
// alerts share; else the first alert's.
std::string GroupName(const json& notification, const json* firstAlert) {
    std::string name;
    const auto append = [&name](const json& value) {
        if (!value.is_string()) return;
        const std::string part = OneLine(value.get_ref<const std::string&>());
        if (part.empty()) return;
        if (!name.empty()) name += ' ';
        name += part;
    };
    if (const json* groupLabels = Member(&notification, "groupLabels")) {
        if (const json* alertname = Member(groupLabels, "alertname")) append(*alertname);
        if (groupLabels->is_object()) {
            for (const auto& [key, value] : groupLabels->items()) {
                if (key != "alertname") append(value);
            }
        }
    }
    if (name.empty())
        name = OneLine(StringMember(Member(&notification, "commonLabels"), "alertname"));
    if (name.empty()) name = OneLine(StringMember(Member(firstAlert, "labels"), "alertname"));
    return name;
}

// Code points of valid UTF-8 (the JSON parser accepts no other): every byte but the
// continuation bytes 10xxxxxx starts one.
bool StartsCodePoint(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

std::size_t CodePoints(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += StartsCodePoint(c) ? 1 : 0;
    return count;
}

// `text` cut to `limit` code points, a cut text ending in "..." (ASCII, so that it fits every
// coding the SMS may be sent in).
std::string Cut(std::string text, std::size_t limit) {
    if (CodePoints(text) <= limit) return text;
    constexpr std::string_view kEllipsis = "...";
    if (limit < kEllipsis.size()) return std::string(limit, '.');
    const std::size_t keep = limit - kEllipsis.size();
    std::size_t end = 0;
    for (std::size_t kept = 0; end < text.size(); ++end) {
        if (StartsCodePoint(text[end]) && kept++ == keep) break;
    }
    text.resize(end);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += kEllipsis;
    return text;
}

}  // namespace

std::optional<std::string> AlertmanagerText(std::string_view body, std::size_t limit,
                                            std::string& error) {
    json notification;
    try {
        notification = json::parse(body);
    } catch (const json::exception& e) {
        // Without the library's "[json.exception.parse_error.101] " tag, and without the token
        // it last read: that may be any bytes of the body, not all of them UTF-8, while the
        // position says where the fault is.
        std::string_view what = e.what();
        if (const auto tag = what.find("] "); tag != std::string_view::npos) {
            what.remove_prefix(tag + 2);
        }
        what = what.substr(0, what.find("; last read"));
        error = "the body is not JSON: ";
        error.append(what);
        return std::nullopt;
    }
    constexpr std::string_view kNotNotification = "the body is not an Alertmanager notification: ";
    if (!notification.is_object()) {
        error = std::string(kNotNotification) + "not a JSON object";
        return std::nullopt;
    }
    const std::string status = OneLine(StringMember(&notification, "status"));
    if (status.empty()) {
        error = std::string(kNotNotification) + "no \"status\" string";
        return std::nullopt;
    }
    const json* alerts = Member(&notification, "alerts");
    if (alerts == nullptr || !alerts->is_array()) {
        error = std::string(kNotNotification) + "no \"alerts\" array";
        return std::nullopt;
    }
    // The version is not checked: later versions only add fields.

    const bool firing = status == "firing";
    const json* firstAlert = alerts->empty() ? nullptr : &alerts->front();

    std::string text = "[";
    for (const char c : status) {
        text += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    if (firing) {
        // An alert that does not say otherwise fires with its notification.
        std::size_t count = 0;
        for (const json& alert : *alerts) {
            const json* alertStatus = Member(&alert, "status");
            if (alertStatus == nullptr || !alertStatus->is_string() || *alertStatus == "firing") {
                ++count;
            }
        }
        text += ':';
        text += std::to_string(count);
    }
    text += ']';

    const std::string name = GroupName(notification, firstAlert);
    if (!name.empty()) text += ' ' + name;

    std::string summary =
        OneLine(StringMember(Member(&notification, "commonAnnotations"), "summary"));
    const bool common = !summary.empty();
    if (!common) {
        const json* annotations = Member(firstAlert, "annotations");
        summary = OneLine(StringMember(annotations, "summary"));
        if (summary.empty()) summary = OneLine(StringMember(annotations, "description"));
    }
    if (!summary.empty()) text += (name.empty() ? " " : ": ") + summary;
    // The first alert speaks for the others; say how many it stands for.
    if (firing && !common && alerts->size() > 1) {
        text += " (+" + std::to_string(alerts->size() - 1) + " more)";
    }
    return Cut(std::move(text), limit);
}

}  // namespace merel::http
