// Reads an SMS-SUBMIT transfer unit written as hexadecimal digits, the way a modem in PDU
// mode takes it after AT+CMGS.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace merel::modem {

struct DecodedSubmit {
    std::string error;  // why the PDU could not be read; empty when it could

    // Octets after the service-centre address: what AT+CMGS must announce. Known whenever
    // the digits are hexadecimal and the service-centre address fits.
    std::optional<unsigned> tpduOctets;

    std::string number;       // address digits, with '+' in front for an international number
    std::string toa;          // type of address, two hex digits
    std::string dcs;          // data coding scheme, two hex digits
    std::string udh;          // user-data header as hex, empty when there is none
    std::string userDataHex;  // the user data after any header
    std::optional<std::string> text;  // UTF-8; only for UCS2 user data
};

DecodedSubmit DecodeSubmitPdu(std::string_view hex);

// Upper-case hexadecimal of the bytes.
std::string ToHex(std::string_view bytes);

}  // namespace merel::modem
