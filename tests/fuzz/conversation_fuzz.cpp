// A send against a modem that answers anything at all, in any pieces: the writes are always the
// send's own commands in their order, never a message after AT+CMGS was refused, never anything
// but AT$RESET or the cancelling ESC after the message, and every failure says why.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "sms/conversation.h"
#include "sms/rules.h"

using namespace merel;

namespace {

struct AnyModem {
    fuzz::FuzzInput& in;
    modem::ModemLine line;
    std::vector<std::string> writes;
    std::string pending;

    // Up to 64 bytes of the input as the modem's answer to a write or a wait.
    std::string Answer() {
        std::string bytes(in.Byte() % 65, '\0');
        for (char& c : bytes) c = static_cast<char>(in.Byte());
        return bytes;
    }
    std::vector<modem::AnswerEvent> Heard(const std::string& bytes) {
        for (auto& e : line.parser.Feed(bytes)) line.heard.push_back(std::move(e));
        return std::exchange(line.heard, {});
    }
    ModemPort Port() {
        return {[this](std::string_view bytes) {
                    writes.emplace_back(bytes);
                    line.parser.Wrote(bytes);
                    pending = Answer();
                    return kS_OK;
                },
                [this] { writes.emplace_back(1, kEsc); },
                [this] { return Heard(std::exchange(pending, {})); },
                [this](std::uint32_t) { return Heard(Answer()); }, &line};
    }
};

bool IsModemRefusal(HRESULT hr) {
    const auto code = static_cast<std::uint32_t>(hr);
    return code >= 0x80041000u && code <= 0x80043000u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    const bool pdu = in.Byte() & 1;
    AnyModem modem{in, {}, {}, {}};
    modem.line.resetOnLine = in.Byte() & 1;
    Failure failure;
    SendOutcome outcome;
    const HRESULT hr =
        pdu ? SubmitPduMessage(modem.Port(), u"+49 170 1234567", u"Hi", failure, &outcome)
            : SubmitTextMessage(modem.Port(), u"+49 170 1234567", u"ATD112;", failure, &outcome);
    const std::vector<std::string>& w = modem.writes;
    const std::size_t opening = pdu ? 3 : 2;  // AT+CMGS
    const std::size_t all = opening + 3;      // then the message and AT$RESET

    fuzz::Require(hr == kS_OK || hr == hresult::kTimeout || IsModemRefusal(hr));
    fuzz::Require(hr == kS_OK ? failure.Empty() : !failure.Text().empty());
    fuzz::Require(outcome.reference >= -1 && outcome.reference <= 255);
    fuzz::Require(w.size() <= all);
    fuzz::Require(w[0].starts_with("AT+CSCS="));
    fuzz::Require(w.size() >= opening + 2);
    if (!w[opening + 1].ends_with("\x1A\n\r")) {
        // Stopped at AT+CMGS: refused, and cancelled.
        fuzz::Require(w.size() == opening + 2 && IsModemRefusal(hr) && w.back() == "\x1B");
    } else {
        // After the message: AT$RESET once the verdict is in, or ESC when it never came.
        fuzz::Require(w.size() == all);
        fuzz::Require(hr == hresult::kTimeout ? w.back() == "\x1B" : w.back() == "AT$RESET");
    }
    return 0;
}
