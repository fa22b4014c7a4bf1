#include "host/dbus/bus_object.h"

#include <array>
#include <chrono>
#include <cerrno>
#include <iterator>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hresult.h"
#include "base/narrow.h"
#include "host/common/argument_limits.h"
#include "host/common/failure_text.h"
#include "host/dbus/bus_errors.h"
#include "interface/description.h"
#include "interface/names.h"

namespace merel::dbus {

namespace {

using wire::Direction;
using wire::Slot;

// The signature of a method's call arguments, from the interface description.
const char* In(Slot slot) {
    return wire::Signature(slot, Direction::kIn);
}

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// Any exception at the boundary (no memory for a string) fails the call with E_FAIL, as every
// method of the manager does inside.
template <typename Body>
HRESULT Guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        return kE_FAIL;
    }
}

using Run = std::function<HRESULT(CSMSMgr&)>;
using Reply = std::function<int(sd_bus_message*, HRESULT)>;

// Who made a call, as the bus tells it: its unique name, and the user and process behind it
// where the bus knows them.
struct CallerFacts {
    std::string name;
    std::optional<std::uint32_t> uid, pid;
};

CallerFacts CallerOf(sd_bus_message* call) {
    CallerFacts facts;
    if (const char* sender = sd_bus_message_get_sender(call)) facts.name = sender;
    sd_bus_creds* creds = nullptr;
    // A peer-to-peer caller has no name to ask the bus about.
    if (facts.name.empty() ||
        sd_bus_query_sender_creds(call, SD_BUS_CREDS_EUID | SD_BUS_CREDS_PID, &creds) < 0) {
        return facts;
    }
    uid_t uid = 0;
    pid_t pid = 0;
    if (sd_bus_creds_get_euid(creds, &uid) >= 0) facts.uid = uid;
    if (sd_bus_creds_get_pid(creds, &pid) >= 0) facts.pid = static_cast<std::uint32_t>(pid);
    sd_bus_creds_unref(creds);
    return facts;
}

// Hands the call to the manager's thread. On failure the text that says what failed is made
// there too, right after the call, from what the manager recorded; so is the call's record, for
// a call that sends or changes something (`number`: the number a send went to). `before`, when
// given, runs on the bus thread ahead of the reply or the error, whatever the outcome.
int Submit(void* userdata, sd_bus_message* call, Run run, Reply reply, bool quick = false,
           Reply before = {}, std::optional<std::u16string> number = {}) {
    auto& self = *static_cast<SmsMgrBusObject*>(userdata);
    auto text = std::make_shared<std::string>();
    std::string method = sd_bus_message_get_member(call);
    SmsMgrBusObject::Record record;
    CallerFacts caller;
    if (self.record && host::IsRecorded(method)) {
        record = self.record;
        caller = CallerOf(call);
    }
    auto runAndDescribe = [run = std::move(run), text, method = std::move(method),
                           record = std::move(record), caller = std::move(caller),
                           number = std::move(number)](CSMSMgr& manager) {
        const auto start = std::chrono::steady_clock::now();
        const HRESULT hr = Guarded([&] { return run(manager); });
        if (Failed(hr)) {
            try {
                *text = host::FailureText(method, hr, manager.m_lastFailure);
            } catch (...) {
                text->clear();  // the bare text then goes out instead
            }
        }
        if (record) {
            try {
                host::CallRecord made = host::RecordOf(
                    manager, method, hr, *text,
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start),
                    number ? std::optional<std::u16string_view>(*number) : std::nullopt);
                made.caller = caller.name;
                made.callerUid = caller.uid;
                made.callerPid = caller.pid;
                record(made);
            } catch (...) {
                // No memory for the record: the call keeps its own outcome.
            }
        }
        return hr;
    };
    // Runs on the bus thread, called from C: nothing may be thrown out of it.
    auto replyWithText = [reply = std::move(reply), before = std::move(before), text](
                             sd_bus_message* call, HRESULT hr) noexcept {
        try {
            if (before) before(call, hr);
            if (Failed(hr) && !text->empty()) return ReplyHResultError(call, hr, *text);
            return reply(call, hr);
        } catch (...) {
            return -ENOMEM;
        }
    };
    return self.dispatch(call, {std::move(runAndDescribe), std::move(replyWithText), quick});
}

using host::StringArgument;

// Answers at once, on the bus thread, a call with a string argument longer than the server
// takes: such a call is never queued, and nothing is made of its strings. The bus carries
// UTF-8, so the lengths are in bytes. Nothing when every argument fits.
std::optional<int> RefuseOversized(sd_bus_message* call,
                                   std::initializer_list<host::Measured> arguments) {
    const std::optional<Failure> refused =
        host::RefuseOversized(host::Units::kUtf8Bytes, arguments);
    if (!refused) return std::nullopt;
    const int r = ReplyFailure(call, *refused);
    return r < 0 ? r : 1;
}

// The two getters only copy the manager's members.
constexpr bool kQuick = true;

int ReplyEmpty(sd_bus_message* call, HRESULT hr) {
    if (Failed(hr)) return ReplyHResultError(call, hr);
    return sd_bus_reply_method_return(call, "");
}

int OnSendTextMessage(sd_bus_message* call, void* userdata, sd_bus_error*) {
    const char* phoneNr = nullptr;
    const char* message = nullptr;
    std::int32_t flags = 0;
    const int r = sd_bus_message_read(call, In(Slot::kSendTextMessage), &phoneNr, &message, &flags);
    if (r < 0) return r;
    if (const auto refused =
            RefuseOversized(call, {{StringArgument::kNumber, std::strlen(phoneNr)},
                                   {StringArgument::kText, std::strlen(message)}})) {
        return *refused;
    }
    return Submit(
        userdata, call,
        [number = Utf8ToUtf16(phoneNr), text = Utf8ToUtf16(message), flags](CSMSMgr& manager) {
            return manager.SendTextMessage(number, text, flags);
        },
        ReplyEmpty, false, {}, Utf8ToUtf16(phoneNr));
}

int OnSetSettings(sd_bus_message* call, void* userdata, sd_bus_error*) {
    const char* port = nullptr;
    std::int32_t baudrate = 0;
    std::int16_t dataBits = 0, parity = 0, stopBits = 0, handshake = 0, readTimeout = 0,
                 characterSet = 0;
    const int r = sd_bus_message_read(call, In(Slot::kSetSettings), &port, &baudrate, &dataBits,
                                      &parity, &stopBits, &handshake, &readTimeout, &characterSet);
    if (r < 0) return r;
    if (const auto refused = RefuseOversized(call, {{StringArgument::kPort, std::strlen(port)}})) {
        return *refused;
    }
    return Submit(
        userdata, call,
        [port = std::string(port), baudrate, dataBits, parity, stopBits, handshake, readTimeout,
         characterSet](CSMSMgr& manager) {
            return manager.SetSettings(Utf8ToUtf16(port), baudrate, dataBits, parity, stopBits,
                                       handshake, readTimeout, characterSet);
        },
        ReplyEmpty);
}

int OnGetSettings(sd_bus_message* call, void* userdata, sd_bus_error*) {
    struct Settings {
        std::string port;
        std::int32_t baudrate = 0;
        std::int16_t dataBits = 0, parity = 0, stopBits = 0, handshake = 0, readTimeout = 0,
                     characterSet = 0;
    };
    auto out = std::make_shared<Settings>();
    return Submit(
        userdata, call,
        [out](CSMSMgr& manager) {
            std::u16string port16;
            const HRESULT got = manager.GetSettings(port16, out->baudrate, out->dataBits,
                                                    out->parity, out->stopBits, out->handshake,
                                                    out->readTimeout, out->characterSet);
            if (!Failed(got)) out->port = Utf16ToUtf8(port16);
            return got;
        },
        [out](sd_bus_message* call, HRESULT hr) {
            if (Failed(hr)) return ReplyHResultError(call, hr);
            return sd_bus_reply_method_return(
                call, wire::Signature(Slot::kGetSettings, Direction::kOut), out->port.c_str(),
                out->baudrate, out->dataBits, out->parity, out->stopBits, out->handshake,
                out->readTimeout, out->characterSet);
        },
        kQuick);
}

// SendPDUMessage and SendMessage take the same two strings.
using NumberAndText = HRESULT (CSMSMgr::*)(std::u16string_view, std::u16string_view);

template <Slot slot, NumberAndText method>
int OnNumberAndText(sd_bus_message* call, void* userdata, sd_bus_error*) {
    const char* phoneNr = nullptr;
    const char* message = nullptr;
    const int r = sd_bus_message_read(call, In(slot), &phoneNr, &message);
    if (r < 0) return r;
    if (const auto refused =
            RefuseOversized(call, {{StringArgument::kNumber, std::strlen(phoneNr)},
                                   {StringArgument::kText, std::strlen(message)}})) {
        return *refused;
    }
    return Submit(
        userdata, call,
        [number = Utf8ToUtf16(phoneNr), text = Utf8ToUtf16(message)](CSMSMgr& manager) {
            return (manager.*method)(number, text);
        },
        ReplyEmpty, false, {}, Utf8ToUtf16(phoneNr));
}

int OnGetSMSManagerStatus(sd_bus_message* call, void* userdata, sd_bus_error*) {
    auto flags = std::make_shared<std::array<std::int8_t, 4>>();
    return Submit(
        userdata, call,
        [flags](CSMSMgr& manager) {
            auto& f = *flags;
            return manager.GetSMSManagerStatus(f[0], f[1], f[2], f[3]);
        },
        [flags](sd_bus_message* call, HRESULT hr) {
            if (Failed(hr)) return ReplyHResultError(call, hr);
            // The flags are signed chars; the bus byte carries the same eight bits.
            const auto& f = *flags;
            return sd_bus_reply_method_return(
                call, wire::Signature(Slot::kGetSMSManagerStatus, Direction::kOut),
                static_cast<std::uint8_t>(f[0]), static_cast<std::uint8_t>(f[1]),
                static_cast<std::uint8_t>(f[2]), static_cast<std::uint8_t>(f[3]));
        },
        kQuick);
}

// The NULL-ended array of C strings that sd-bus appends as "as"; it points into `strings`.
std::vector<char*> Strv(std::vector<std::string>& strings) {
    std::vector<char*> strv;
    strv.reserve(strings.size() + 1);
    for (auto& string : strings) strv.push_back(string.data());
    strv.push_back(nullptr);
    return strv;
}

// A count and an array of strings: the reply of GetDetectedCOMPortsOnHost and of CheckModem.
int ReplyCountAndStrings(sd_bus_message* call, std::uint32_t count,
                         std::vector<std::string>& names) {
    std::vector<char*> strv = Strv(names);
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_return(call, &raw);
    if (r < 0) return r;
    MessagePtr reply(raw);
    r = sd_bus_message_append(reply.get(), "u", count);
    if (r < 0) return r;
    r = sd_bus_message_append_strv(reply.get(), strv.data());
    if (r < 0) return r;
    return sd_bus_send(nullptr, reply.get(), nullptr);
}

// A method that gives a count and a list of strings: the host's ports, the modem's answers.
using CountAndStrings = HRESULT (CSMSMgr::*)(std::uint32_t&, std::vector<std::u16string>&);

int SubmitCountAndStrings(sd_bus_message* call, void* userdata, CountAndStrings method) {
    struct Result {
        std::uint32_t count = 0;
        std::vector<std::string> strings;
    };
    auto out = std::make_shared<Result>();
    return Submit(
        userdata, call,
        [out, method](CSMSMgr& manager) {
            std::vector<std::u16string> strings16;
            const HRESULT got = (manager.*method)(out->count, strings16);
            if (!Failed(got)) {
                for (const auto& string : strings16) out->strings.push_back(Utf16ToUtf8(string));
            }
            return got;
        },
        [out](sd_bus_message* call, HRESULT hr) {
            if (Failed(hr)) return ReplyHResultError(call, hr);
            return ReplyCountAndStrings(call, out->count, out->strings);
        });
}

int OnGetDetectedCOMPortsOnHost(sd_bus_message* call, void* userdata, sd_bus_error*) {
    return SubmitCountAndStrings(call, userdata, &CSMSMgr::GetDetectedCOMPortsOnHost);
}

int OnTestPort(sd_bus_message* call, void* userdata, sd_bus_error*) {
    return Submit(
        userdata, call, [](CSMSMgr& manager) { return manager.TestPort(); }, ReplyEmpty);
}

int OnInit(sd_bus_message* call, void* userdata, sd_bus_error*) {
    return Submit(
        userdata, call, [](CSMSMgr& manager) { return manager.Init(); }, ReplyEmpty);
}

// The warnings and the transcript of a confirmed send, as a signal to its caller alone: a
// unicast signal reaches no other client, and it arrives before the reply, which travels the
// same way. Returns 0 or a negative errno.
int SendReportTo(sd_bus_message* call, const std::vector<std::string>& warnings,
                 const std::string& transcript) {
    sd_bus* bus = sd_bus_message_get_bus(call);
    const wire::SignalDescription& signal = wire::SendReportSignal();
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(bus, &raw, wire::kObjectPath,
                                      wire::SendReportInterface().name, signal.name);
    if (r < 0) return r;
    MessagePtr message(raw);
    // A peer-to-peer connection has no sender names: the signal then goes to the one peer.
    if (const char* caller = sd_bus_message_get_sender(call)) {
        r = sd_bus_message_set_destination(message.get(), caller);
        if (r < 0) return r;
    }
    std::vector<std::string> copies(warnings);
    std::vector<char*> strv = Strv(copies);
    r = sd_bus_message_append_strv(message.get(), strv.data());
    if (r >= 0) r = sd_bus_message_append(message.get(), "s", transcript.c_str());
    if (r < 0) return r;
    return sd_bus_send(bus, message.get(), nullptr);
}

int OnSendConfirmed(sd_bus_message* call, void* userdata, sd_bus_error*) {
    const char* phoneNr = nullptr;
    const char* message = nullptr;
    std::int16_t mode = 0;
    const int r = sd_bus_message_read(call, In(Slot::kSendConfirmed), &phoneNr, &message, &mode);
    if (r < 0) return r;
    if (const auto refused =
            RefuseOversized(call, {{StringArgument::kNumber, std::strlen(phoneNr)},
                                   {StringArgument::kText, std::strlen(message)}})) {
        return *refused;
    }
    struct Outcome {
        std::int32_t reference = -1;
        std::vector<std::string> warnings;
        std::string transcript;
    };
    auto out = std::make_shared<Outcome>();
    return Submit(
        userdata, call,
        [number = Utf8ToUtf16(phoneNr), text = Utf8ToUtf16(message), mode, out](CSMSMgr& manager) {
            const HRESULT hr = manager.SendConfirmed(number, text, mode, out->reference);
            // The report is the manager's until its next send: taken here, on its thread.
            const CSMSMgr::ModemReport& report = manager.LastModemReport();
            out->warnings = report.warnings;
            out->transcript = report.transcript;
            return hr;
        },
        [out](sd_bus_message* call, HRESULT hr) {
            if (Failed(hr)) return ReplyHResultError(call, hr);
            return sd_bus_reply_method_return(
                call, wire::Signature(Slot::kSendConfirmed, Direction::kOut), out->reference);
        },
        false,
        // The report is no part of the result: a caller that cannot send it still gets the
        // result.
        [out](sd_bus_message* call, HRESULT) {
            return SendReportTo(call, out->warnings, out->transcript);
        },
        Utf8ToUtf16(phoneNr));
}

int OnCheckModem(sd_bus_message* call, void* userdata, sd_bus_error*) {
    return SubmitCountAndStrings(call, userdata, &CSMSMgr::CheckModem);
}

// The bus library writes its own introspection data without annotations of our choosing, so
// Introspect on the object is answered here, ahead of the library.
int OnObjectMessage(sd_bus_message* message, void*, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(message, "org.freedesktop.DBus.Introspectable",
                                       "Introspect") ||
        !sd_bus_message_has_signature(message, "")) {
        return 0;
    }
    static const std::string xml = wire::ObjectIntrospectionXml();
    return sd_bus_reply_method_return(message, "s", xml.c_str());
}

// Calls come from unprivileged user processes on the session bus.
constexpr std::uint64_t kFlags = SD_BUS_VTABLE_UNPRIVILEGED;

// The bus library calls the handlers from C: an exception (no memory for a string while the
// arguments are converted) fails the call instead of leaving through the library.
template <sd_bus_message_handler_t handler>
int Guard(sd_bus_message* call, void* userdata, sd_bus_error* error) noexcept {
    try {
        return handler(call, userdata, error);
    } catch (...) {
        return -ENOMEM;
    }
}

struct Handler {
    Slot slot;
    sd_bus_message_handler_t handler;
};
constexpr Handler kHandlers[] = {
    {Slot::kSendTextMessage, Guard<OnSendTextMessage>},
    {Slot::kSetSettings, Guard<OnSetSettings>},
    {Slot::kGetSettings, Guard<OnGetSettings>},
    {Slot::kSendPDUMessage,
     Guard<OnNumberAndText<Slot::kSendPDUMessage, &CSMSMgr::SendPDUMessage>>},
    {Slot::kGetSMSManagerStatus, Guard<OnGetSMSManagerStatus>},
    {Slot::kSendMessage, Guard<OnNumberAndText<Slot::kSendMessage, &CSMSMgr::SendMessage>>},
    {Slot::kGetDetectedCOMPortsOnHost, Guard<OnGetDetectedCOMPortsOnHost>},
    {Slot::kTestPort, Guard<OnTestPort>},
    {Slot::kInit, Guard<OnInit>},
    {Slot::kSendConfirmed, Guard<OnSendConfirmed>},
    {Slot::kCheckModem, Guard<OnCheckModem>},
};

// The method table of one interface as the bus library reads it, made from the interface
// description: the members, signatures and parameter names are the description's, the handlers
// are found by slot. The strings it points into live as long as the table.
class DerivedMethodTable {
  public:
    explicit DerivedMethodTable(const wire::InterfaceDescription& interface) {
        static_assert(std::size(kHandlers) == static_cast<std::size_t>(Slot::kCheckModem) + 1,
                      "every described method has a handler");
        std::vector<const Handler*> handlers;
        for (const Handler& h : kHandlers) {
            if (&wire::InterfaceOf(h.slot) != &interface) continue;
            handlers.push_back(&h);
            std::string names;
            for (auto direction : {Direction::kIn, Direction::kOut}) {
                for (const wire::ArgumentDescription& arg : wire::Method(h.slot).arguments) {
                    if (arg.direction == direction) names.append(arg.name).push_back('\0');
                }
            }
            names_.push_back(std::move(names));
        }
        for (const wire::SignalDescription& signal : interface.signals) {
            signatures_.push_back(wire::Signature(signal));
            std::string names;
            for (const wire::ArgumentDescription& arg : signal.arguments) {
                names.append(arg.name).push_back('\0');
            }
            signalNames_.push_back(std::move(names));
        }
        table_.push_back(SD_BUS_VTABLE_START(0));
        for (std::size_t i = 0; i < handlers.size(); ++i) {
            const Slot slot = handlers[i]->slot;
            table_.push_back(SD_BUS_METHOD_WITH_NAMES_OFFSET(
                wire::Method(slot).name, wire::Signature(slot, Direction::kIn), names_[i].c_str(),
                wire::Signature(slot, Direction::kOut), , handlers[i]->handler, 0, kFlags));
        }
        for (std::size_t i = 0; i < interface.signals.size(); ++i) {
            table_.push_back(SD_BUS_SIGNAL_WITH_NAMES(
                interface.signals[i].name, signatures_[i].c_str(), signalNames_[i].c_str(), 0));
        }
        table_.push_back(SD_BUS_VTABLE_END);
    }

    const sd_bus_vtable* Table() const { return table_.data(); }

  private:
    // Filled completely before the table points into them.
    std::vector<std::string> names_, signatures_, signalNames_;
    std::vector<sd_bus_vtable> table_;
};

const DerivedMethodTable& MethodTableOnce(std::size_t interface) {
    static const std::vector<DerivedMethodTable> tables = [] {
        std::vector<DerivedMethodTable> made;
        for (const wire::InterfaceDescription& i : wire::Interfaces()) made.emplace_back(i);
        return made;
    }();
    return tables.at(interface);
}

}  // namespace

SmsMgrBusObject::SmsMgrBusObject(Dispatch dispatch_, Record record_)
    : dispatch(std::move(dispatch_)), record(std::move(record_)) {}

SmsMgrBusObject::~SmsMgrBusObject() {
    sd_bus_slot_unref(introspectSlot_);
    for (sd_bus_slot* slot : methodsSlots_) sd_bus_slot_unref(slot);
}

int SmsMgrBusObject::Publish(sd_bus* bus) {
    const auto interfaces = wire::Interfaces();
    static_assert(std::tuple_size_v<decltype(methodsSlots_)> == 2);
    for (std::size_t i = 0; i < interfaces.size() && i < methodsSlots_.size(); ++i) {
        const int r =
            sd_bus_add_object_vtable(bus, &methodsSlots_[i], wire::kObjectPath, interfaces[i].name,
                                     MethodTableOnce(i).Table(), this);
        if (r < 0) return r;
    }
    const int r =
        sd_bus_add_object(bus, &introspectSlot_, wire::kObjectPath, OnObjectMessage, this);
    return r < 0 ? r : 0;
}

const sd_bus_vtable* SmsMgrBusObject::MethodTable(std::size_t interface) {
    return MethodTableOnce(interface).Table();
}

}  // namespace merel::dbus
