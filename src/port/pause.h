// The fixed pause after each command written to the modem. Production sleeps; tests record.
#pragma once

#include <cstdint>
#include <functional>

namespace merel {

// The pause after each command written to the modem.
inline constexpr std::uint32_t kCommandPauseMs = 1000;

class Pause {
  public:
    virtual ~Pause() = default;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
    // Waits `milliseconds` while listening: `listen` is called every few milliseconds, and once
    // more at the end; the wait ends early when it returns true. Without an override it sleeps
    // the whole time and listens once at the end, which is all a recording pause needs.
    virtual void Listen(std::uint32_t milliseconds, const std::function<bool()>& listen) {
        Sleep(milliseconds);
        listen();
    }
};

Pause& SystemPause();

}  // namespace merel
