#include "session.h"

#include <charconv>

#include "at_stream.h"
#include "base/cp437.h"
#include "base/narrow.h"
#include "pdu_decode.h"

namespace merel::modem {

namespace {

// The value after "=", without the quotes around it when it is quoted.
std::string Unquoted(std::string_view value) {
    if (!value.empty() && value.front() == '"') {
        value.remove_prefix(1);
        const auto close = value.find('"');
        if (close != std::string_view::npos) value = value.substr(0, close);
    }
    return std::string(value);
}

std::string_view ArgumentOf(std::string_view bytes) {
    const std::string_view line = TrimLineEnds(bytes);
    const auto eq = line.find('=');
    return eq == std::string_view::npos ? std::string_view{} : line.substr(eq + 1);
}

// The body without its Ctrl-Z and the line end after it.
std::string_view BodyOf(std::string_view bytes) {
    const auto ctrlZ = bytes.rfind('\x1A');
    return ctrlZ == std::string_view::npos ? TrimLineEnds(bytes) : bytes.substr(0, ctrlZ);
}

bool IsHexUcs2(std::string_view charset) {
    return charset == "UCS2";
}

// Text-mode strings in the UCS2 character set are hexadecimal, four digits a character.
std::string DecodeHexUcs2(std::string_view hex) {
    std::u16string units;
    for (std::size_t i = 0; i + 4 <= hex.size(); i += 4) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 4, value, 16);
        if (ec != std::errc{} || end != hex.data() + i + 4) return Latin1ToUtf8(hex);
        units.push_back(static_cast<char16_t>(value));
    }
    return Utf16ToUtf8(units);
}

// Text-mode strings in the other character sets are bytes: code page 437 where the modem was
// told so, ISO-8859-1 for anything else.
std::string DecodeBytes(std::string_view charset, std::string_view bytes) {
    if (IsHexUcs2(charset)) return DecodeHexUcs2(bytes);
    if (charset != "PCCP437") return Latin1ToUtf8(bytes);
    // Every character of the code page lies in the basic plane: one unit each.
    std::u16string units;
    for (const char c : bytes) {
        units.push_back(static_cast<char16_t>(Cp437ToUnicode(static_cast<unsigned char>(c))));
    }
    return Utf16ToUtf8(units);
}

}  // namespace

std::string Latin1ToUtf8(std::string_view bytes) {
    return Utf16ToUtf8(WidenLatin1(bytes));
}

std::optional<Message> ModemSession::Accept(int index, std::string_view bytes) {
    if (cmgsArgument_) {
        Message m;
        m.command = index;
        m.charset = charset_;
        const std::string argument = *cmgsArgument_;
        cmgsArgument_.reset();
        // Without AT+CMGF the form of the argument tells the mode: a quoted number or a length.
        m.pdu = format_ == 0 || (format_ != 1 && (argument.empty() || argument.front() != '"'));
        if (EndsWithEscape(bytes)) {
            // Given up: what came so far is kept for the record, and nothing is sent.
            m.cancelled = true;
            const std::string_view body = bytes.substr(0, bytes.size() - 1);
            if (m.pdu) {
                m.pduHex = std::string(body);
            } else {
                m.numberBytes = Unquoted(argument);
                m.number = DecodeBytes(charset_, m.numberBytes);
                m.textBytes = std::string(body);
            }
            return m;
        }
        const std::string_view body = BodyOf(bytes);
        if (!m.pdu) {
            m.numberBytes = Unquoted(argument);
            m.textBytes = std::string(body);
            m.text = DecodeBytes(charset_, body);
            m.number = DecodeBytes(charset_, m.numberBytes);
            return m;
        }
        m.pduHex = std::string(body);
        long length = 0;
        const auto [end, ec] =
            std::from_chars(argument.data(), argument.data() + argument.size(), length);
        if (ec == std::errc{} && end == argument.data() + argument.size()) m.cmgsLength = length;
        DecodedSubmit decoded = DecodeSubmitPdu(body);
        m.lengthOk = m.cmgsLength && decoded.tpduOctets &&
                     *m.cmgsLength == static_cast<long>(*decoded.tpduOctets);
        m.error = std::move(decoded.error);
        m.number = std::move(decoded.number);
        m.toa = std::move(decoded.toa);
        m.dcs = std::move(decoded.dcs);
        m.udh = std::move(decoded.udh);
        m.userDataHex = std::move(decoded.userDataHex);
        m.text = std::move(decoded.text);
        return m;
    }

    if (EndsWithEscape(bytes)) {
        // A line given up, or an ESC outside a message: the modem ignores it.
    } else if (CommandStartsWith(bytes, "AT+CMGS=")) {
        cmgsArgument_ = std::string(ArgumentOf(bytes));
    } else if (CommandStartsWith(bytes, "AT+CMGF=")) {
        const std::string_view value = ArgumentOf(bytes);
        format_ = value == "0" ? 0 : value == "1" ? 1 : -1;
    } else if (CommandStartsWith(bytes, "AT+CSCS=")) {
        charset_ = Unquoted(ArgumentOf(bytes));
    }
    return std::nullopt;
}

}  // namespace merel::modem
