// How long a server stays idle at lock count 0 before it ends, and how long it pauses after it
// has stopped serving before the process exits. Both hosts live by these, and clients that
// meet an ending server wait the pause before they ask again.
#pragma once

#include <chrono>

namespace merel {

inline constexpr std::chrono::milliseconds kServerIdleTimeout{5000};
inline constexpr std::chrono::milliseconds kServerExitPause{1000};

}  // namespace merel
