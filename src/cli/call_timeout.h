// A call's time-out as each transport counts it. A time-out longer than the transport can count
// waits without a limit: asked for 1e20 s, a user means "as long as it takes", and no wait of a
// lifetime differs from that; a wrapped-around count would instead end the wait early.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace merel::cli {

// The least a call waits for its answer, whatever the user's time-out: a send to an answering
// modem waits up to 60 s for its verdict after some seconds of commands, and the modem check
// waits up to 2 s for each of its nine queries. Giving up earlier would report a send that
// went out as one that may not have.
inline constexpr double kSendCallSeconds = 70;
inline constexpr double kCheckCallSeconds = 30;

// sd-bus counts in microseconds, where 0 stands for its own default of 25 s and UINT64_MAX
// for no limit: a time-out too short to count is one microsecond, one too long is no limit.
std::uint64_t BusTimeoutMicroseconds(double seconds);

// The client's wait for its worker thread counts steady-clock ticks: none when `seconds` is
// beyond what they hold (from now on, with room to spare).
std::optional<std::chrono::steady_clock::duration> WorkerWait(double seconds);

}  // namespace merel::cli
