// One submission of a number and a text taken from the fuzzer's input, with its writes
// recorded. A refused submission must have written nothing.
#pragma once

#include <string>
#include <vector>

#include "fuzz_input.h"
#include "sms/submission.h"

namespace merel::fuzz {

using Submit = HRESULT (*)(const ModemPort&, std::u16string_view, std::u16string_view, Failure&,
                           SendOutcome*);

struct RecordedSubmission {
    std::u16string number, text;
    HRESULT result = kS_OK;
    std::vector<std::string> writes;
    Failure failure;

    RecordedSubmission(Submit submit, const std::uint8_t* data, std::size_t size) {
        FuzzInput in(data, size);
        number = in.String();
        text = in.String();
        // Every write is taken, so no message is ever cancelled.
        result = submit({[this](std::string_view command) {
                             writes.emplace_back(command);
                             return kS_OK;
                         },
                         [] { Require(false); }},
                        number, text, failure, nullptr);
        // A refusal writes nothing and says what it refused.
        if (result == kE_INVALIDARG) {
            Require(writes.empty());
            Require(failure.hr == kE_INVALIDARG && !failure.what.empty());
        }
    }
};

}  // namespace merel::fuzz
