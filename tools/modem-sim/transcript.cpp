#include "transcript.h"

#include <cstdio>
#include <initializer_list>

#include "pdu_decode.h"

namespace merel::modem {

namespace {

// Joins the pieces in one buffer. Chains of "literal" + std::string trip GCC 12's -Wrestrict
// false positive at -O3, so the lines below are built this way instead.
std::string Join(std::initializer_list<std::string_view> pieces) {
    std::size_t size = 0;
    for (std::string_view p : pieces) size += p.size();
    std::string out;
    out.reserve(size);
    for (std::string_view p : pieces) out += p;
    return out;
}

std::string Ms(double ms) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", ms);
    return buffer;
}

std::string Field(std::string_view name, std::string_view jsonValue) {
    return ",\"" + std::string(name) + "\":" + std::string(jsonValue);
}

std::string OptionalString(const std::optional<std::string>& s) {
    return s ? JsonString(*s) : "null";
}

std::string NonEmpty(const std::string& s) {
    return s.empty() ? "null" : JsonString(s);
}

// UTF-8 text on one line: control bytes are named as in the command lines.
std::string OneLine(std::string_view utf8) {
    std::string out;
    for (char c : utf8) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            out += Printable(std::string_view(&c, 1));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::string Printable(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == 0x0A) {
            out += "<LF>";
        } else if (b == 0x0D) {
            out += "<CR>";
        } else if (b == 0x1A) {
            out += "<Ctrl-Z>";
        } else if (b == 0x1B) {
            out += "<ESC>";
        } else if (b >= 0x20 && b < 0x7F) {
            out.push_back(c);
        } else {
            out += Join({"<", ToHex(std::string_view(&c, 1)), ">"});
        }
    }
    return out;
}

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (b < 0x20 || b == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", b);
            out += buffer;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::string CommandJson(const CommandRecord& r) {
    return "{\"type\":\"command\"" + Field("index", std::to_string(r.index)) +
           Field("t_ms", Ms(r.command.firstMs)) +
           Field("pause_ms", r.pauseMs ? Ms(*r.pauseMs) : "null") +
           Field("bytes_hex", JsonString(ToHex(r.command.bytes))) +
           Field("text", JsonString(Printable(r.command.bytes))) +
           Field("complete", r.command.complete ? "true" : "false") + "}";
}

std::string MessageJson(const Message& m) {
    if (m.cancelled) {
        return "{\"type\":\"cancelled\"" + Field("mode", m.pdu ? "\"pdu\"" : "\"text\"") +
               Field("command", std::to_string(m.command)) +
               Field("number", m.pdu ? "null" : JsonString(m.number)) +
               Field("body_hex", JsonString(ToHex(m.pdu ? m.pduHex : m.textBytes))) + "}";
    }
    std::string out = "{\"type\":\"message\"" + Field("mode", m.pdu ? "\"pdu\"" : "\"text\"") +
                      Field("command", std::to_string(m.command)) +
                      Field("charset", NonEmpty(m.charset));
    if (!m.pdu) {
        return out + Field("number", JsonString(m.number)) + Field("text", OptionalString(m.text)) +
               Field("number_hex", JsonString(ToHex(m.numberBytes))) +
               Field("text_hex", JsonString(ToHex(m.textBytes))) + "}";
    }
    const bool ok = m.error.empty();
    return out + Field("number", ok ? JsonString(m.number) : "null") +
           Field("text", OptionalString(m.text)) + Field("toa", NonEmpty(m.toa)) +
           Field("dcs", NonEmpty(m.dcs)) + Field("udh", NonEmpty(m.udh)) +
           Field("user_data_hex", ok ? JsonString(m.userDataHex) : "null") +
           Field("pdu", JsonString(m.pduHex)) +
           Field("cmgs_length", m.cmgsLength ? std::to_string(*m.cmgsLength) : "null") +
           Field("length_ok", m.lengthOk ? "true" : "false") +
           Field("error", ok ? "null" : JsonString(m.error)) + "}";
}

std::string CommandLine(const CommandRecord& r) {
    const std::string pause = r.pauseMs ? Join({"+", Ms(*r.pauseMs), " ms"}) : "first";
    std::string line = Join({"#", std::to_string(r.index), " at ", Ms(r.command.firstMs), " ms (",
                             pause, "): ", Printable(r.command.bytes)});
    if (!r.command.complete) line += "  [incomplete]";
    return line;
}

std::string MessageLine(const Message& m) {
    if (m.cancelled) {
        return m.pdu ? std::string("  => PDU-mode SMS cancelled (ESC): nothing sent")
                     : Join({"  => text-mode SMS to \"", OneLine(m.number),
                             "\" cancelled (ESC): nothing sent"});
    }
    if (!m.pdu) {
        return Join({"  => text-mode SMS to \"", OneLine(m.number), "\": \"",
                     OneLine(m.text.value_or("")), "\""});
    }
    const std::string length = m.cmgsLength
                                   ? Join({"AT+CMGS length ", std::to_string(*m.cmgsLength),
                                           m.lengthOk ? " is right" : " does not match the PDU"})
                                   : "AT+CMGS length missing";
    if (!m.error.empty())
        return Join({"  => PDU-mode SMS, malformed PDU: ", m.error, "; ", length});
    const std::string text =
        m.text ? Join({"\"", OneLine(*m.text), "\""}) : Join({"user data ", m.userDataHex});
    return Join({"  => PDU-mode SMS to \"", m.number, "\" (type of address ", m.toa, ", coding ",
                 m.dcs, "): ", text, "; ", length});
}

std::string AnswerJson(const Answer& a, double ms, const std::optional<Message>& sent) {
    if (a.kind == Answer::Kind::kCancelled) {
        return "{\"type\":\"cancelled\"" +
               Field("mode", !sent       ? "null"
                             : sent->pdu ? "\"pdu\""
                                         : "\"text\"") +
               Field("command", sent ? std::to_string(sent->command) : "null") +
               Field("number", sent && !sent->pdu ? JsonString(sent->number) : "null") +
               Field("body_hex", sent
                                     ? JsonString(ToHex(sent->pdu ? sent->pduHex : sent->textBytes))
                                     : "null") +
               Field("reason", "\"early byte\"") + Field("t_ms", Ms(ms)) +
               Field("byte_hex", JsonString(ToHex(a.bytes))) + "}";
    }
    return "{\"type\":\"answer\"" + Field("t_ms", Ms(ms)) +
           Field("bytes_hex", JsonString(ToHex(a.bytes))) +
           Field("text", JsonString(Printable(a.bytes))) + Field("note", NonEmpty(a.note)) + "}";
}

std::string AnswerLine(const Answer& a, double ms, const std::optional<Message>& sent) {
    if (a.kind == Answer::Kind::kCancelled) {
        const std::string what = !sent ? std::string("SMS")
                                 : sent->pdu
                                     ? std::string("PDU-mode SMS")
                                     : Join({"text-mode SMS to \"", OneLine(sent->number), "\""});
        return Join({"  => ", what, " cancelled at ", Ms(ms), " ms: ", Printable(a.bytes),
                     " arrived before the modem's verdict: nothing sent"});
    }
    std::string line = Join({"  <- at ", Ms(ms), " ms: ", Printable(a.bytes)});
    if (!a.note.empty()) line += Join({"  (", a.note, ")"});
    return line;
}

}  // namespace merel::modem
