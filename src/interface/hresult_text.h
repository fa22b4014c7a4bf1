// The HRESULT catalogue that servers and clients share: how a code is written and what it
// means in a few words.
#pragma once

#include <string>

#include "base/hresult.h"

namespace merel::wire {

// "0x80070002": eight upper-case digits.
std::string FormatHResult(HRESULT hr);
// A few words on what the code means; a generic text for codes this system never produces.
std::string DescribeHResult(HRESULT hr);
// "0x80070002: file not found": for failures that have nothing more to say.
std::string BareFailureText(HRESULT hr);

}  // namespace merel::wire
