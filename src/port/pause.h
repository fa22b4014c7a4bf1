// The fixed pause after each command written to the modem. Production sleeps; tests record.
#pragma once

#include <cstdint>

namespace merel {

class Pause {
  public:
    virtual ~Pause() = default;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

Pause& SystemPause();

}  // namespace merel
