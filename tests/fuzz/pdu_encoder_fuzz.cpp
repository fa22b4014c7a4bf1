// PDU mode: any number and text give either E_INVALIDARG with nothing written, or the six
// commands around an upper-case hex PDU whose AT+CMGS count and address length are right, with
// at least one address digit.
#include <cstdint>
#include <string>
#include <vector>

#include "base/narrow.h"
#include "recorded_submission.h"

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
    const fuzz::RecordedSubmission run(SubmitPduMessage, data, size);
    if (run.result == kE_INVALIDARG) return 0;
    fuzz::Require(run.result == kS_OK && run.writes.size() == 6);
    const std::vector<std::string>& writes = run.writes;

    const std::string& body = writes[4];
    fuzz::Require(body.ends_with("\x1A\n\r"));
    const std::string hex = body.substr(0, body.size() - 3);
    fuzz::Require(hex.size() % 2 == 0 && hex.size() >= 16);
    for (char c : hex) fuzz::Require(IsUpperHex(c));
    fuzz::Require(writes[3] == "AT+CMGS=" + std::to_string(hex.size() / 2 - 1) + "\n\r");

    std::size_t digits = 0;
    for (char16_t c : UpToNul(run.number)) digits += c >= u'0' && c <= u'9';
    fuzz::Require(digits >= 1 && digits <= 20);
    fuzz::Require(static_cast<std::size_t>(HexValue(hex[6]) * 16 + HexValue(hex[7])) == digits);
    return 0;
}
