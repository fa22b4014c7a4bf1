// Text mode: any number and text give either E_INVALIDARG with nothing written, or five writes
// in which nothing but the message can reach the modem: Ctrl-Z only once, as the end of the
// 4th write, no ESC anywhere, and a quoted number of printable ASCII other than quotes that
// holds a digit.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "recorded_submission.h"

using namespace merel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::RecordedSubmission run(SubmitTextMessage, data, size);
    if (run.result == kE_INVALIDARG) return 0;
    fuzz::Require(run.result == kS_OK && run.writes.size() == 5);
    const std::vector<std::string>& writes = run.writes;

    for (std::size_t i = 0; i < writes.size(); ++i) {
        const std::string& w = writes[i];
        fuzz::Require(w.find('\x1B') == std::string::npos);
        fuzz::Require(std::count(w.begin(), w.end(), '\x1A') == (i == 3 ? 1 : 0));
    }
    fuzz::Require(writes[3].ends_with("\x1A\n\r"));

    const std::string& cmgs = writes[2];
    const std::string head = "AT+CMGS=\"", tail = "\"\n\r";
    fuzz::Require(cmgs.size() >= head.size() + tail.size() && cmgs.starts_with(head) &&
                  cmgs.ends_with(tail));
    bool digit = false;
    for (std::size_t i = head.size(); i < cmgs.size() - tail.size(); ++i) {
        fuzz::Require(cmgs[i] != '"' && cmgs[i] >= 0x20 && cmgs[i] <= 0x7E);
        digit = digit || (cmgs[i] >= '0' && cmgs[i] <= '9');
    }
    fuzz::Require(digit);
    return 0;
}
