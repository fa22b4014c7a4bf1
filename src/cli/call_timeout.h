// A call's time-out as each transport counts it. A time-out longer than the transport can count
// waits without a limit: asked for 1e20 s, a user means "as long as it takes", and no wait of a
// lifetime differs from that; a wrapped-around count would instead end the wait early.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace merel::cli {

// sd-bus counts in microseconds, where 0 stands for its own default of 25 s and UINT64_MAX
// for no limit: a time-out too short to count is one microsecond, one too long is no limit.
std::uint64_t BusTimeoutMicroseconds(double seconds);

// The client's wait for its worker thread counts steady-clock ticks: none when `seconds` is
// beyond what they hold (from now on, with room to spare).
std::optional<std::chrono::steady_clock::duration> WorkerWait(double seconds);

}  // namespace merel::cli
