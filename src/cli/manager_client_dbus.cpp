// The manager reached over D-Bus (sd-bus), on the session bus or the system bus. The service is
// started by the bus on the first call when it is not running.
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include <systemd/sd-bus.h>

#include "base/narrow.h"
#include "cli/call_timeout.h"
#include "cli/failure.h"
#include "interface/hresult_text.h"
#include "cli/platform.h"
#include "interface/description.h"
#include "interface/error_names.h"
#include "interface/names.h"

namespace merel::cli {

namespace {

using wire::Direction;
using wire::Slot;

bool StartsWith(const char* text, std::string_view prefix) {
    return text && std::string_view(text).starts_with(prefix);
}

// A failure that never reached the service, as one of the client's own HRESULTs.
HRESULT TransportFailure(const sd_bus_error& error, int r) {
    const char* name = error.name;
    // dbus-broker answers an activation that failed with NameHasNoOwner too.
    if (StartsWith(name, SD_BUS_ERROR_NAME_HAS_NO_OWNER) && error.message &&
        std::string_view(error.message).starts_with("Could not activate")) {
        return kServerNotStarted;
    }
    if (StartsWith(name, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
        StartsWith(name, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
        return kServerNotRegistered;
    }
    if (StartsWith(name, SD_BUS_ERROR_NO_REPLY) || StartsWith(name, SD_BUS_ERROR_TIMEOUT) ||
        StartsWith(name, "org.freedesktop.DBus.Error.TimedOut") || r == -ETIMEDOUT) {
        return kCallTimedOut;
    }
    if (StartsWith(name, SD_BUS_ERROR_ACCESS_DENIED)) return kCallRefused;
    // The system bus starts the service through systemd and passes on systemd's failure:
    // one of its own names (org.freedesktop.systemd1.NoSuchUnit) or an errno's
    // (System.Error.EIO). The service itself answers with names of ours, or with ENOMEM when
    // it has no memory left.
    const bool systemdFailure =
        StartsWith(name, "org.freedesktop.systemd1.") ||
        (StartsWith(name, "System.Error.") && !StartsWith(name, "System.Error.ENOMEM"));
    if (StartsWith(name, "org.freedesktop.DBus.Error.Spawn") || systemdFailure || !name) {
        return kServerNotStarted;
    }
    return kE_FAIL;
}

class DbusManagerClient : public ManagerClient {
  public:
    explicit DbusManagerClient(const ConnectOptions& options)
        : busName_(options.systemBus ? "system bus" : "session bus"),
          timeoutUsec_(BusTimeoutMicroseconds(options.timeoutSeconds)) {
        const int r = options.systemBus ? sd_bus_open_system(&bus_) : sd_bus_open_user(&bus_);
        if (r < 0) {
            bus_ = nullptr;
            openError_ = -r;
        }
    }
    ~DbusManagerClient() override { sd_bus_flush_close_unref(bus_); }

    HRESULT SendTextMessage(const std::u16string& number, const std::u16string& text,
                            std::int32_t flags) override {
        return Call(Slot::kSendTextMessage, nullptr, Utf16ToUtf8(number).c_str(),
                    Utf16ToUtf8(text).c_str(), flags);
    }
    HRESULT SetSettings(const Settings& s) override {
        return Call(Slot::kSetSettings, nullptr, Utf16ToUtf8(s.port).c_str(), s.baudrate,
                    s.dataBits, s.parity, s.stopBits, s.handshake, s.readTimeout, s.characterSet);
    }
    HRESULT GetSettings(Settings& s) override {
        const char* port = nullptr;
        return Call(Slot::kGetSettings, [&](sd_bus_message* reply) {
            const int r = sd_bus_message_read(
                reply, wire::Signature(Slot::kGetSettings, Direction::kOut), &port, &s.baudrate,
                &s.dataBits, &s.parity, &s.stopBits, &s.handshake, &s.readTimeout, &s.characterSet);
            if (r >= 0) s.port = Utf8ToUtf16(port);
            return r;
        });
    }
    HRESULT SendPDUMessage(const std::u16string& number, const std::u16string& text) override {
        return Call(Slot::kSendPDUMessage, nullptr, Utf16ToUtf8(number).c_str(),
                    Utf16ToUtf8(text).c_str());
    }
    HRESULT GetSMSManagerStatus(Status& s) override {
        return Call(Slot::kGetSMSManagerStatus, [&](sd_bus_message* reply) {
            std::uint8_t flags[4] = {};
            const int r = sd_bus_message_read(
                reply, wire::Signature(Slot::kGetSMSManagerStatus, Direction::kOut), &flags[0],
                &flags[1], &flags[2], &flags[3]);
            s = {static_cast<std::int8_t>(flags[0]), static_cast<std::int8_t>(flags[1]),
                 static_cast<std::int8_t>(flags[2]), static_cast<std::int8_t>(flags[3])};
            return r;
        });
    }
    HRESULT SendMessage(const std::u16string& number, const std::u16string& text) override {
        return Call(Slot::kSendMessage, nullptr, Utf16ToUtf8(number).c_str(),
                    Utf16ToUtf8(text).c_str());
    }
    HRESULT GetDetectedCOMPortsOnHost(std::vector<std::u16string>& ports) override {
        return Call(Slot::kGetDetectedCOMPortsOnHost, [&](sd_bus_message* reply) {
            std::uint32_t count = 0;
            char** names = nullptr;
            int r = sd_bus_message_read(reply, "u", &count);
            if (r >= 0) r = sd_bus_message_read_strv(reply, &names);
            ports.clear();
            for (char** name = names; name && *name; ++name) {
                ports.push_back(Utf8ToUtf16(*name));
                free(*name);
            }
            free(names);
            return r;
        });
    }
    HRESULT TestPort() override { return Call(Slot::kTestPort, nullptr); }
    HRESULT Init() override { return Call(Slot::kInit, nullptr); }
    HRESULT SendConfirmed(const std::u16string&, const std::u16string&, std::int16_t,
                          SendReport& report) override {
        report = {};
        return kE_FAIL;
    }
    HRESULT CheckModem(std::vector<std::u16string>& lines) override {
        lines.clear();
        return kE_FAIL;
    }

    std::string LastErrorText() const override { return lastError_; }
    bool Connected() const override { return bus_ != nullptr; }

  private:
    template <class Read, class... In>
    HRESULT Call(Slot slot, Read&& read, In... in) {
        const char* method = wire::Method(slot).name;
        lastError_.clear();
        if (!bus_) {
            return Fail(kServerNotStarted,
                        "cannot connect to the " + busName_ + ": " + std::strerror(openError_));
        }
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error error{};  // the empty error, SD_BUS_ERROR_NULL in C
        int r = sd_bus_message_new_method_call(bus_, &call, wire::kBusName, wire::kObjectPath,
                                               wire::kInterface, method);
        if (r >= 0 && sizeof...(in) > 0) {
            r = sd_bus_message_append(call, wire::Signature(slot, Direction::kIn), in...);
        }
        if (r >= 0) r = sd_bus_call(bus_, call, timeoutUsec_, &error, &reply);
        HRESULT hr = kS_OK;
        if (r < 0) {
            hr = Failure(error, r);
        } else if constexpr (!std::is_same_v<std::decay_t<Read>, std::nullptr_t>) {
            if (read(reply) < 0) {
                hr = Fail(kE_FAIL, std::string("unexpected reply to ") + method);
            }
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
        return hr;
    }

    HRESULT Failure(const sd_bus_error& error, int r) {
        const std::string message = error.message ? error.message : std::strerror(-r);
        if (error.name) {
            if (const auto hr = wire::HResultFromBusError(error.name, message)) {
                lastError_ = message;
                return *hr;
            }
        }
        const HRESULT hr = TransportFailure(error, r);
        std::string what;
        if (hr == kServerNotRegistered) {
            what =
                std::string("no service ") + wire::kBusName + " is registered on the " + busName_;
        } else if (hr == kCallTimedOut) {
            what = "no answer from the service in time";
        } else if (hr == kCallRefused) {
            what = "the " + busName_ + " refused the call";
        } else if (hr == kServerNotStarted) {
            what =
                std::string("the ") + busName_ + " could not start the service " + wire::kBusName;
        } else {
            what = "the call failed";
        }
        return Fail(hr, what + " (" + (error.name ? error.name : "") + ": " + message + ")");
    }

    HRESULT Fail(HRESULT hr, const std::string& text) {
        lastError_ = wire::FormatHResult(hr) + ": " + text;
        return hr;
    }

    sd_bus* bus_ = nullptr;
    int openError_ = 0;
    std::string busName_;
    std::uint64_t timeoutUsec_;
    std::string lastError_;
};

}  // namespace

std::unique_ptr<ManagerClient> ConnectToManager(const ConnectOptions& options) {
    return std::make_unique<DbusManagerClient>(options);
}

}  // namespace merel::cli
