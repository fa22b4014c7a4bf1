// The fixed pause after each command written to the modem. Production sleeps; tests record.
#pragma once

#include <cstdint>

namespace merel {

// The pause after each command written to the modem.
inline constexpr std::uint32_t kCommandPauseMs = 1000;

class Pause {
  public:
    virtual ~Pause() = default;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

Pause& SystemPause();

}  // namespace merel
