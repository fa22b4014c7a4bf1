// The nine methods in any order, with any arguments, on a manager wired to fakes whose
// devices and files fail when the input says so: no crash, no sanitizer report, every result
// S_OK or an error HRESULT, outputs consistent, no settings file left open, and no message
// that a failed write left open on the modem ever takes another client's bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "fakes.h"
#include "fuzz_input.h"
#include "sms/rules.h"

using namespace merel;

namespace {

// Follows the bytes on the wire as a modem reads them: once AT+CMGS has opened a message, only
// a whole body (up to its Ctrl-Z) or ESC may follow; anything else would be sent as part of
// that message. A write the line took only in part leaves the message open for ESC alone.
class OpenMessageWatch {
  public:
    void Check(const std::vector<std::string>& writes) {
        for (; seen_ < writes.size(); ++seen_) Take(writes[seen_]);
    }

  private:
    enum class State { kCommands, kBody, kEscapeOnly };
    void Take(const std::string& w) {
        const bool escape = w == std::string(1, kEsc);
        switch (state_) {
            case State::kEscapeOnly:
                fuzz::Require(escape);
                state_ = State::kCommands;
                break;
            case State::kBody:
                fuzz::Require(escape || w.find(kCtrlZ) != std::string::npos ||
                              w.find(kEsc) == std::string::npos);
                state_ = escape || w.find(kCtrlZ) != std::string::npos ? State::kCommands
                                                                       : State::kEscapeOnly;
                break;
            case State::kCommands:
                if (w.starts_with("AT+CMGS=")) {
                    state_ = w.ends_with("\r") ? State::kBody : State::kEscapeOnly;
                }
                break;
        }
    }
    std::size_t seen_ = 0;
    State state_ = State::kCommands;
};

// S_OK, or an error of the null or the Win32 facility: what the methods may return.
bool IsValidResult(HRESULT hr) {
    const auto facility = (static_cast<std::uint32_t>(hr) >> 16) & 0x7FFF;
    return hr == kS_OK || (Failed(hr) && (facility == 0 || facility == 7));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    test::FakeWorld world;
    // Some calls open the one existing device or a port list with gaps in it.
    world.device.existing = {u"COM1", u"/dev/ttyS0"};
    world.ports.devices = std::vector<std::optional<std::u16string>>{u"COM1", std::nullopt, u""};
    CSMSMgr mgr(world.Services());
    OpenMessageWatch watch;

    for (int calls = 0; !in.Empty() && calls < 64; ++calls) {
        HRESULT hr = kS_OK;
        switch (in.Byte() % 12) {
            case 0: {
                const std::u16string number = in.String(), text = in.String();
                hr = mgr.SendTextMessage(number, text, in.Int32());
                break;
            }
            case 1: {
                const std::u16string port = in.String();
                const std::int32_t baud = in.Int32();
                std::int16_t codes[6];
                for (std::int16_t& code : codes) code = static_cast<std::int16_t>(in.Unit());
                hr = mgr.SetSettings(port, baud, codes[0], codes[1], codes[2], codes[3], codes[4],
                                     codes[5]);
                break;
            }
            case 2: {
                std::u16string port;
                std::int32_t baud = 0;
                std::int16_t d = 0, p = 0, s = 0, h = 0, r = 0, c = 0;
                hr = mgr.GetSettings(port, baud, d, p, s, h, r, c);
                fuzz::Require(Failed(hr) || (port == mgr.m_strPort && baud == mgr.m_loBaudrate));
                break;
            }
            case 3: {
                const std::u16string number = in.String(), text = in.String();
                hr = mgr.SendPDUMessage(number, text);
                break;
            }
            case 4: {
                std::int8_t flags[4] = {};
                hr = mgr.GetSMSManagerStatus(flags[0], flags[1], flags[2], flags[3]);
                for (std::int8_t f : flags) fuzz::Require(f == 0 || f == 1);
                break;
            }
            case 5: {
                const std::u16string number = in.String(), text = in.String();
                hr = mgr.SendMessage(number, text);
                break;
            }
            case 6: {
                std::uint32_t count = 0;
                std::vector<std::u16string> names;
                hr = mgr.GetDetectedCOMPortsOnHost(count, names);
                fuzz::Require(Failed(hr) || count == names.size());
                break;
            }
            case 7:
                hr = mgr.TestPort();
                break;
            case 8:
                hr = mgr.Init();
                break;
            // Faults of the device and the file system for the calls that follow.
            case 9:
                world.device.failOpen = in.Unit();
                world.device.failWrite = in.Unit();
                // Counted from here, so that any write of a send can be the one that fails.
                world.device.failWriteNumber = in.Byte() % 8;
                world.device.writeCount = 0;
                // A write that runs out of time leaves what the line took of it.
                if (const std::uint8_t taken = in.Byte(); taken < 64) {
                    world.device.shortWrite = taken;
                } else {
                    world.device.shortWrite.reset();
                }
                break;
            case 10:
                world.device.failGetState = in.Unit();
                world.device.failSetState = in.Unit();
                world.device.failSetTimeouts = in.Unit();
                world.device.failClose = in.Unit();
                break;
            case 11:
                world.files.failOpenRead = in.Unit();
                world.files.failOpenWrite = in.Unit();
                world.files.failWrite = in.Unit();
                break;
        }
        fuzz::Require(IsValidResult(hr));
        fuzz::Require(!world.files.AnyOpen());
        // The status never says a port is open that the manager has closed (a device gone).
        fuzz::Require(mgr.m_boIsPortOpen == 0 || mgr.m_hPort != kInvalidPort);
        watch.Check(world.log.writes);
    }
    return 0;
}
