#include "cli/call_timeout.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace merel::cli {

std::uint64_t BusTimeoutMicroseconds(double seconds) {
    const double microseconds = std::ceil(seconds * 1e6);
    // 2^64 exactly: the first double that no uint64_t holds.
    constexpr double kBeyond = 18446744073709551616.0;
    if (!(microseconds < kBeyond)) return std::numeric_limits<std::uint64_t>::max();
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::max(0.0, microseconds)));
}

std::optional<std::chrono::steady_clock::duration> WorkerWait(double seconds) {
    using Ticks = std::chrono::steady_clock::duration;
    // Half the clock's range: its epoch (boot, on most systems) plus the wait must still fit.
    const double limit = std::chrono::duration<double>(Ticks::max()).count() / 2;
    if (!(seconds < limit)) return std::nullopt;
    return std::chrono::ceil<Ticks>(std::chrono::duration<double>(std::max(0.0, seconds)));
}

}  // namespace merel::cli
