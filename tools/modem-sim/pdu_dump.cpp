// merel_pdu_dump: encodes SMS-SUBMIT PDUs for lines read from standard input.
//
// Each input line is the number (UTF-8), a tab, and the text as UTF-16 code units in
// hexadecimal, four digits a unit (so that any unit, a lone surrogate too, can be given).
// Each output line is the result as eight hex digits, the AT+CMGS length and the PDU, separated
// by spaces; a refused number gives "- -" in place of the last two.
#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>

#include "base/narrow.h"
#include "sms/pdu.h"

namespace {

bool ParseUnits(const std::string& hex, std::u16string& units) {
    if (hex.size() % 4 != 0) return false;
    for (std::size_t i = 0; i < hex.size(); i += 4) {
        unsigned value = 0;
        const char* first = hex.data() + i;
        const auto [end, ec] = std::from_chars(first, first + 4, value, 16);
        if (ec != std::errc{} || end != first + 4) return false;
        units.push_back(static_cast<char16_t>(value));
    }
    return true;
}

}  // namespace

int main() {
    std::string line;
    int lineNumber = 0;
    while (std::getline(std::cin, line)) {
        ++lineNumber;
        const auto tab = line.find('\t');
        std::u16string text;
        if (tab == std::string::npos || !ParseUnits(line.substr(tab + 1), text)) {
            std::fprintf(stderr, "merel_pdu_dump: line %d: expected number<TAB>hex units\n",
                         lineNumber);
            return 2;
        }
        merel::EncodedPdu pdu;
        const HRESULT hr =
            merel::EncodeSubmitPdu(merel::Utf8ToUtf16(line.substr(0, tab)), text, pdu);
        if (merel::Failed(hr)) {
            std::printf("%08X - -\n", static_cast<unsigned>(hr));
        } else {
            std::printf("%08X %u %s\n", static_cast<unsigned>(hr), pdu.length, pdu.hex.c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}
