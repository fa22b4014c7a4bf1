#include "sms/pdu.h"

#include <charconv>
#include <utility>

#include "base/failure.h"
#include "sms/rules.h"

namespace merel {

namespace {

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
    std::string why;
    return EncodeSubmitPdu(number, text, pdu, why);
}

HRESULT EncodeSubmitPdu(std::u16string_view number, std::u16string_view text, EncodedPdu& pdu,
                        std::string& why) {
    // The type of address below already says "international", so a leading '+' is dropped;
    // separators people write between digit groups are dropped too. What remains must be
    // digits, or the address would not be hexadecimal at all.
    std::string digits;
    digits.reserve(kMaxAddressDigits + 1);
    bool first = true;
    for (std::size_t i = 0; i < number.size(); ++i) {
        const char16_t c = number[i];
        if (IsNumberSeparator(c)) continue;
        if (c == u'+' && first) {
            first = false;
            continue;
        }
        first = false;
        if (!IsDigit(c)) {
            why = Quoted(number.substr(i, 1)) + " is not a digit";
            return kE_INVALIDARG;
        }
        if (digits.size() == kMaxAddressDigits) {
            why = "it has more than " + std::to_string(kMaxAddressDigits) + " digits";
            return kE_INVALIDARG;
        }
        digits.push_back(static_cast<char>(c));
    }
    if (digits.empty()) {
        why = "it has no digit";
        return kE_INVALIDARG;
    }

    std::u16string_view body = text;
    if (body.size() > kMaxPduUnits) {
        // Never send half of a surrogate pair.
        body = body.substr(
            0, IsHighSurrogate(body[kMaxPduUnits - 1]) ? kMaxPduUnits - 1 : kMaxPduUnits);
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
