#include "sms/pdu.h"

#include <charconv>
#include <utility>

namespace merel {

namespace {

// UCS2 user data holds at most 140 octets.
constexpr std::size_t kMaxUnits = 70;

// The address field of TS 23.040 holds at most 20 digits; a longer number would need a
// length that no receiver accepts (from 256 digits on, not even two hex digits).
constexpr std::size_t kMaxAddressDigits = 20;

bool IsSeparator(char16_t c) {
    return c == u' ' || c == u'-' || c == u'.' || c == u'(' || c == u')';
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

char UpperHex(char c) {
    return c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Upper-case hexadecimal, with one leading 0 when that gives a single digit: a length field is two
// digits wide.
void AppendLength(std::string& out, std::size_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, 16).ptr;
    if (end - buffer == 1) out.push_back('0');
    for (const char* p = buffer; p != end; ++p) out.push_back(UpperHex(*p));
}

void AppendUnit(std::string& out, char16_t unit) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kDigits[(unit >> shift) & 0xF]);
}

}  // namespace

HRESULT EncodeSubmitPdu(std::u16string_view number, std::u16string_view text, EncodedPdu& pdu) {
    // The type of address below already says "international", so a leading '+' is dropped;
    // separators people write between digit groups are dropped too. What remains must be
    // digits, or the address would not be hexadecimal at all.
    std::string digits;
    digits.reserve(kMaxAddressDigits + 1);
    bool first = true;
    for (char16_t c : number) {
        if (IsSeparator(c)) continue;
        if (c == u'+' && first) {
            first = false;
            continue;
        }
        first = false;
        if (c < u'0' || c > u'9' || digits.size() == kMaxAddressDigits) return kE_INVALIDARG;
        digits.push_back(static_cast<char>(c));
    }

    std::u16string_view body = text;
    if (body.size() > kMaxUnits) {
        // Never send half of a surrogate pair.
        body = body.substr(0, IsHighSurrogate(body[kMaxUnits - 1]) ? kMaxUnits - 1 : kMaxUnits);
    }

    std::string hex = "002100";
    AppendLength(hex, digits.size());
    hex += "91";
    if (digits.size() % 2 != 0) digits.push_back('F');
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        hex.push_back(digits[i + 1]);
        hex.push_back(digits[i]);
    }
    hex += "0008";
    AppendLength(hex, body.size() * 2);
    for (char16_t unit : body) AppendUnit(hex, unit);

    pdu.length = static_cast<unsigned>(hex.size() / 2 - 1);
    pdu.hex = std::move(hex);
    return kS_OK;
}

}  // namespace merel
