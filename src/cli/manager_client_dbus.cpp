// The manager reached over D-Bus (sd-bus), on the session bus or the system bus. The service is
// started by the bus on the first call when it is not running.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <systemd/sd-bus.h>

#include "base/narrow.h"
#include "cli/call_timeout.h"
#include "cli/failure.h"
#include "interface/hresult_text.h"
#include "cli/platform.h"
#include "interface/description.h"
#include "interface/error_names.h"
#include "interface/instance_name.h"
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
          service_(wire::InstanceBusName(options.modem)),
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
        return Call(Slot::kGetDetectedCOMPortsOnHost,
                    [&](sd_bus_message* reply) { return ReadCountAndStrings(reply, ports); });
    }
    HRESULT TestPort() override { return Call(Slot::kTestPort, nullptr); }
    HRESULT Init() override { return Call(Slot::kInit, nullptr); }
    HRESULT SendConfirmed(const std::u16string& number, const std::u16string& text,
                          std::int16_t mode, SendReport& report) override {
        report = {};
        // The service tells its caller what the modem said in a signal sent to it alone, just
        // before the reply; sd_bus_call keeps it queued until it is dispatched below.
        Reports reports;
        sd_bus_slot* filter = nullptr;
        if (bus_ && sd_bus_add_filter(bus_, &filter, OnSendReport, &reports) < 0) filter = nullptr;
        std::string replySender;
        const HRESULT hr = Call(
            Slot::kSendConfirmed,
            [&](sd_bus_message* reply) {
                if (const char* sender = sd_bus_message_get_sender(reply)) replySender = sender;
                return sd_bus_message_read(reply,
                                           wire::Signature(Slot::kSendConfirmed, Direction::kOut),
                                           &report.reference);
            },
            Utf16ToUtf8(number).c_str(), Utf16ToUtf8(text).c_str(), mode);
        if (filter) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            sd_bus_slot_unref(filter);
        }
        // Only the service's own report counts: any peer may send a signal.
        if (!reports.empty()) {
            if (replySender.empty()) replySender = ServiceOwner();
            for (auto& received : reports) {
                if (received.sender == replySender) {
                    report.warnings = std::move(received.warnings);
                    report.transcript = std::move(received.transcript);
                }
            }
        }
        return hr;
    }
    HRESULT CheckModem(std::vector<std::u16string>& lines) override {
        return Call(Slot::kCheckModem,
                    [&](sd_bus_message* reply) { return ReadCountAndStrings(reply, lines); });
    }

    std::string LastErrorText() const override { return lastError_; }
    bool Connected() const override { return bus_ != nullptr; }

  private:
    struct Received {
        std::string sender;
        std::vector<std::string> warnings;
        std::string transcript;
    };
    using Reports = std::vector<Received>;

    static int OnSendReport(sd_bus_message* m, void* userdata, sd_bus_error*) {
        const wire::SignalDescription& signal = wire::SendReportSignal();
        if (!sd_bus_message_is_signal(m, wire::SendReportInterface().name, signal.name) ||
            !sd_bus_message_has_signature(m, wire::Signature(signal).c_str())) {
            return 0;
        }
        Received received;
        if (const char* sender = sd_bus_message_get_sender(m)) received.sender = sender;
        char** warnings = nullptr;
        const char* transcript = nullptr;
        int r = sd_bus_message_read_strv(m, &warnings);
        if (r >= 0) r = sd_bus_message_read(m, "s", &transcript);
        for (char** w = warnings; w && *w; ++w) {
            if (r >= 0) received.warnings.emplace_back(*w);
            free(*w);
        }
        free(warnings);
        if (r < 0) return 0;
        received.transcript = transcript ? transcript : "";
        static_cast<Reports*>(userdata)->push_back(std::move(received));
        return 1;
    }

    // The unique name of the service's connection, or empty.
    std::string ServiceOwner() {
        sd_bus_message* reply = nullptr;
        sd_bus_error error{};
        const char* owner = nullptr;
        std::string name;
        if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner", &error, &reply, "s",
                               service_.c_str()) >= 0 &&
            sd_bus_message_read(reply, "s", &owner) >= 0 && owner) {
            name = owner;
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        return name;
    }

    static int ReadCountAndStrings(sd_bus_message* reply, std::vector<std::u16string>& out) {
        std::uint32_t count = 0;
        char** strings = nullptr;
        int r = sd_bus_message_read(reply, "u", &count);
        if (r >= 0) r = sd_bus_message_read_strv(reply, &strings);
        out.clear();
        for (char** s = strings; s && *s; ++s) {
            out.push_back(Utf8ToUtf16(*s));
            free(*s);
        }
        free(strings);
        return r;
    }

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
        int r = sd_bus_message_new_method_call(bus_, &call, service_.c_str(), wire::kObjectPath,
                                               wire::InterfaceOf(slot).name, method);
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
            what = "no service " + service_ + " is registered on the " + busName_;
        } else if (hr == kCallTimedOut) {
            what = "no answer from the service in time";
        } else if (hr == kCallRefused) {
            what = "the " + busName_ + " refused the call";
        } else if (hr == kServerNotStarted) {
            what = "the " + busName_ + " could not start the service " + service_;
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
    std::string service_;  // the bus name of the service called
    std::uint64_t timeoutUsec_;
    std::string lastError_;
};

}  // namespace

namespace {

// The names of a list the bus daemon answers (ListNames, ListActivatableNames) that belong to
// the service or its instances.
int AddInstances(sd_bus* bus, const char* method, std::vector<std::string>& instances,
                 sd_bus_error* error) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", method, error, &reply, "");
    char** names = nullptr;
    if (r >= 0) r = sd_bus_message_read_strv(reply, &names);
    for (char** n = names; n && *n; ++n) {
        std::string instance;
        if (wire::InstanceOfBusName(*n, instance)) instances.push_back(std::move(instance));
        free(*n);
    }
    free(names);
    sd_bus_message_unref(reply);
    return r;
}

}  // namespace

bool ListInstances(const ConnectOptions& options, std::vector<std::string>& instances,
                   std::string& error) {
    instances.clear();
    const char* busName = options.systemBus ? "system bus" : "session bus";
    sd_bus* bus = nullptr;
    int r = options.systemBus ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
    if (r < 0) {
        error = std::string("cannot connect to the ") + busName + ": " + std::strerror(-r);
        return false;
    }
    sd_bus_error busError{};
    r = AddInstances(bus, "ListNames", instances, &busError);
    if (r >= 0) r = AddInstances(bus, "ListActivatableNames", instances, &busError);
    if (r < 0) {
        error = std::string("the ") + busName + " did not list its names (" +
                (busError.message ? busError.message : std::strerror(-r)) + ")";
    }
    sd_bus_error_free(&busError);
    sd_bus_flush_close_unref(bus);
    // The plain service first, then the instances by name.
    std::sort(instances.begin(), instances.end());
    instances.erase(std::unique(instances.begin(), instances.end()), instances.end());
    return r >= 0;
}

std::unique_ptr<ManagerClient> ConnectToManager(const ConnectOptions& options) {
    return std::make_unique<DbusManagerClient>(options);
}

}  // namespace merel::cli
