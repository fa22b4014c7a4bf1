// PDU mode: any number and text give either E_INVALIDARG with nothing written, or the six
// commands around an upper-case hex PDU whose AT+CMGS count and address length are right.
#include <cstdint>
#include <string>
#include <vector>

#include "base/narrow.h"
#include "fuzz_input.h"
#include "sms/submission.h"

using namespace merel;

namespace {

bool IsUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    const std::u16string number = in.String();
    const std::u16string text = in.String();

    std::vector<std::string> writes;
    const HRESULT hr = SubmitPduMessage(
        [&](std::string_view command) {
            writes.emplace_back(command);
            return kS_OK;
        },
        number, text);
    if (hr == kE_INVALIDARG) {
        fuzz::Require(writes.empty());
        return 0;
    }
    fuzz::Require(hr == kS_OK && writes.size() == 6);

    const std::string& body = writes[4];
    fuzz::Require(body.ends_with("\x1A\n\r"));
    const std::string hex = body.substr(0, body.size() - 3);
    fuzz::Require(hex.size() % 2 == 0 && hex.size() >= 16);
    for (char c : hex) fuzz::Require(IsUpperHex(c));
    fuzz::Require(writes[3] == "AT+CMGS=" + std::to_string(hex.size() / 2 - 1) + "\n\r");

    std::size_t digits = 0;
    for (char16_t c : UpToNul(number)) digits += c >= u'0' && c <= u'9';
    fuzz::Require(digits <= 20);
    fuzz::Require(static_cast<std::size_t>(HexValue(hex[6]) * 16 + HexValue(hex[7])) == digits);
    return 0;
}
