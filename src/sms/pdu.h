// The SMS-SUBMIT transfer unit with UCS2 user data, as a string of hexadecimal digits.
#pragma once

#include <string>
#include <string_view>

#include "base/hresult.h"

namespace merel {

struct EncodedPdu {
    std::string hex;      // the digit string, service-centre length octet first
    unsigned length = 0;  // the AT+CMGS length: octets after the service-centre length
};

// The number arrives with its spaces removed; the text whole (it is cut to 70 units here).
// Fails with E_INVALIDARG for a number that cannot be encoded as address digits, has none, or
// has more than 20 of them (separators and a leading '+' are not counted).
// `why` then says what is wrong with the number.
HRESULT EncodeSubmitPdu(std::u16string_view number, std::u16string_view text, EncodedPdu& pdu,
                        std::string& why);
HRESULT EncodeSubmitPdu(std::u16string_view number, std::u16string_view text, EncodedPdu& pdu);

}  // namespace merel
