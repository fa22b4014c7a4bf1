#include "http/form.h"

#include <algorithm>
#include <cctype>

#include "base/narrow.h"

namespace merel::http {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes one key or value. `plusStartsNumber`: the rules of "to" above (a ',' separates
// numbers too, in the URLs of webhooks).
bool Decode(std::string_view raw, bool plusStartsNumber, std::string& out, std::string& error) {
    out.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '%' && i + 2 < raw.size() && HexValue(raw[i + 1]) >= 0 &&
            HexValue(raw[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(raw[i + 1]) * 16 + HexValue(raw[i + 2])));
            i += 2;
        } else if (c == '+' && plusStartsNumber) {
            const std::string_view next = raw.substr(i + 1, 3);
            if (out.empty() || out.back() == ' ' || out.back() == ',') {
                out.push_back('+');
            } else if (next == "%2B" || next == "%2b" || next == "%20") {
                out.push_back(' ');  // between numbers, the next one's '+' escaped
            } else {
                error = "the '+' in to=" + std::string(raw) +
                        " may be a space or a number's '+': write %2B for a '+' and %20 between "
                        "numbers";
                return false;
            }
        } else {
            out.push_back(c == '+' ? ' ' : c);
        }
    }
    return true;
}

std::string Normalized(std::string_view charset) {
    std::string name;
    for (const char c : charset) {
        if (c != '-' && c != '_') name.push_back(static_cast<char>(std::toupper(c)));
    }
    return name;
}

}  // namespace

bool ParseForm(std::string_view text, FormParams& params, std::string& error) {
    while (!text.empty()) {
        const auto amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        if (pair.empty()) continue;
        const auto equals = pair.find('=');
        std::string key, value;
        if (!Decode(pair.substr(0, equals), false, key, error)) return false;
        const std::string_view raw =
            equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1);
        if (!Decode(raw, key == "to", value, error)) return false;
        params.emplace(std::move(key), std::move(value));
    }
    return true;
}

std::optional<std::string> First(const FormParams& params, const std::string& key) {
    const auto found = params.find(key);
    if (found == params.end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> ToUtf8(const std::string& bytes, std::string_view charset,
                                  std::string& error) {
    const std::string name = Normalized(charset);
    if (name.empty() || name == "UTF8") return bytes;
    if (name == "ISO88591" || name == "LATIN1") {
        return Utf16ToUtf8(WidenLatin1(bytes));
    }
    if (name == "UTF16BE" || name == "UCS2") {
        if (bytes.size() % 2 != 0) {
            error = "the text has an odd number of bytes (" + std::to_string(bytes.size()) +
                    "), which cannot be UTF-16BE";
            return std::nullopt;
        }
        std::u16string units;
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) << 8 |
                                                  static_cast<unsigned char>(bytes[i + 1])));
        }
        std::string text = Utf16ToUtf8(units);
        // A lone surrogate would reach the phone as U+FFFD: refused rather than changed.
        if (Utf8ToUtf16(text) != units) {
            error = "the text is not UTF-16BE: it holds a lone surrogate";
            return std::nullopt;
        }
        return text;
    }
    error = "charset " + std::string(charset) + " is not supported (UTF-8, ISO-8859-1, UTF-16BE)";
    return std::nullopt;
}

}  // namespace merel::http
