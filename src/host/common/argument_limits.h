// How long a string argument may be when it reaches a host. Nothing the server does needs
// more, so a longer one is refused on arrival, before it is copied, converted, queued or
// stored: one caller's oversized string must not cost the server its memory.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>

#include "base/failure.h"
#include "sms/rules.h"

namespace merel::host {

// Numbers and texts. A submission uses at most 511 characters of either; this leaves room for
// any 511 characters at four bytes of UTF-8 each, and for the separators a number may carry.
inline constexpr std::size_t kMaxNumberOrText = 4096;
static_assert(kMaxNumberOrText >= 4 * kMaxTextModeField);

// Port names: the longest path the system opens. Linux refuses a path of PATH_MAX bytes or
// more; Windows takes a \\?\ path of up to 32767 UTF-16 units.
#if defined(_WIN32)
inline constexpr std::size_t kMaxPortName = 32767;
#else
inline constexpr std::size_t kMaxPortName = 4096;
#endif

// The D-Bus service cuts a longer string in a large message to exactly this many bytes before
// its handlers see it, so that the message never costs its whole size; a string of this length
// is therefore refused as having "at least" so many bytes.
inline constexpr std::size_t kLongestArrivingString = 16 * 1024;
static_assert(kLongestArrivingString > kMaxNumberOrText);
#if !defined(_WIN32)
static_assert(kLongestArrivingString > kMaxPortName);
#endif

enum class StringArgument { kNumber, kText, kPort };

// What a host counts a string's length in: D-Bus carries UTF-8, COM carries UTF-16.
enum class Units { kUtf8Bytes, kUtf16Units };

std::size_t MaxLength(StringArgument argument);

struct Measured {
    StringArgument argument;
    std::size_t length;  // in the host's units
};

// The refusal (E_INVALIDARG, naming the argument and its limit) of the first argument that is
// longer than its limit; nothing when all fit.
std::optional<Failure> RefuseOversized(Units units, std::initializer_list<Measured> arguments);

}  // namespace merel::host
