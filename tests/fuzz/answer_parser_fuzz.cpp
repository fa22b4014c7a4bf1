// Modem answers: any bytes, read in any pieces, give the events and the transcript of one read
// at once; no event carries a line end or a control character, the transcript keeps its cap,
// and a final result is either success or one of the modem's refusal codes, told in printable
// words.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/hresult.h"
#include "fuzz_input.h"
#include "modem/answer_parser.h"
#include "modem/final_result.h"

using namespace merel;
using namespace merel::modem;

namespace {

bool IsModemRefusal(HRESULT hr) {
    const std::uint32_t code = static_cast<std::uint32_t>(hr);
    return code - static_cast<std::uint32_t>(kModemCmsErrorBase) < 2u * kModemErrorNumberLimit ||
           hr == kModemError;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    // A command we wrote, the largest piece a read returns, then what the modem sent.
    std::string written(in.Byte() % 24, '\0');
    for (char& c : written) c = static_cast<char>(in.Byte());
    const std::size_t largest = in.Byte() % 16 + 1;
    std::string received;
    while (!in.Empty()) received.push_back(static_cast<char>(in.Byte()));

    AnswerParser once, pieces;
    once.Wrote(written);
    pieces.Wrote(written);
    const std::vector<AnswerEvent> events = once.Feed(received);
    std::vector<AnswerEvent> read;
    for (std::size_t at = 0; at < received.size();) {
        // Piece sizes vary with the bytes themselves, from one to the largest.
        const std::size_t n = static_cast<unsigned char>(received[at]) % largest + 1;
        for (AnswerEvent& e : pieces.Feed(std::string_view(received).substr(at, n))) {
            read.push_back(std::move(e));
        }
        at += n;
    }
    fuzz::Require(read == events);

    const std::string transcript = once.TakeTranscript();
    fuzz::Require(pieces.TakeTranscript() == transcript);
    fuzz::Require(transcript.size() <= AnswerTranscript::kCap);
    fuzz::Require(received.size() > AnswerTranscript::kCap || transcript == received);
    const std::string escaped = EscapeModemBytes(transcript);
    fuzz::Require(
        std::all_of(escaped.begin(), escaped.end(), [](char c) { return c >= 0x20 && c < 0x7F; }));

    for (const AnswerEvent& e : events) {
        fuzz::Require(!e.text.empty() && e.text.size() <= AnswerParser::kMaxLine);
        fuzz::Require(std::none_of(e.text.begin(), e.text.end(), [](char c) {
            const unsigned char u = static_cast<unsigned char>(c);
            return (u < 0x20 && c != '\t') || u == 0x7F;
        }));
        if (!IsFinalResult(e)) continue;
        const HRESULT hr = FinalResultCode(e);
        fuzz::Require(e.kind == AnswerKind::kOk ? hr == kS_OK : IsModemRefusal(hr));
        const std::string words = DescribeFinalResult(e);
        fuzz::Require(
            std::all_of(words.begin(), words.end(), [](char c) { return c >= 0x20 && c < 0x7F; }));
    }
    return 0;
}
