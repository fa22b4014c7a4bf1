#include "host/dbus/bus_object.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/hresult.h"
#include "base/narrow.h"
#include "host/dbus/bus_errors.h"
#include "host/dbus/bus_names.h"
#include "host/dbus/interface_description.h"

namespace merel::dbus {

namespace {

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

SmsMgrBusObject& Begin(sd_bus_message* call, void* userdata) {
    auto& self = *static_cast<SmsMgrBusObject*>(userdata);
    if (self.onCall) self.onCall(call);
    return self;
}

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

int ReplyEmpty(sd_bus_message* call, sd_bus_error* error, HRESULT hr) {
    if (Failed(hr)) return SetHResultError(error, hr);
    return sd_bus_reply_method_return(call, "");
}

int OnSendTextMessage(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    SmsMgrBusObject& self = Begin(call, userdata);
    const char* phoneNr = nullptr;
    const char* message = nullptr;
    std::int32_t flags = 0;
    const int r = sd_bus_message_read(call, "ssi", &phoneNr, &message, &flags);
    if (r < 0) return r;
    const HRESULT hr = Guarded([&] {
        return self.manager.SendTextMessage(Utf8ToUtf16(phoneNr), Utf8ToUtf16(message), flags);
    });
    return ReplyEmpty(call, error, hr);
}

int OnSetSettings(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    SmsMgrBusObject& self = Begin(call, userdata);
    const char* port = nullptr;
    std::int32_t baudrate = 0;
    std::int16_t dataBits = 0, parity = 0, stopBits = 0, handshake = 0, readTimeout = 0,
                 characterSet = 0;
    const int r = sd_bus_message_read(call, "sinnnnnn", &port, &baudrate, &dataBits, &parity,
                                      &stopBits, &handshake, &readTimeout, &characterSet);
    if (r < 0) return r;
    const HRESULT hr = Guarded([&] {
        return self.manager.SetSettings(Utf8ToUtf16(port), baudrate, dataBits, parity, stopBits,
                                        handshake, readTimeout, characterSet);
    });
    return ReplyEmpty(call, error, hr);
}

int OnGetSettings(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    SmsMgrBusObject& self = Begin(call, userdata);
    std::string port;
    std::int32_t baudrate = 0;
    std::int16_t dataBits = 0, parity = 0, stopBits = 0, handshake = 0, readTimeout = 0,
                 characterSet = 0;
    const HRESULT hr = Guarded([&] {
        std::u16string port16;
        const HRESULT got = self.manager.GetSettings(port16, baudrate, dataBits, parity, stopBits,
                                                     handshake, readTimeout, characterSet);
        if (!Failed(got)) port = Utf16ToUtf8(port16);
        return got;
    });
    if (Failed(hr)) return SetHResultError(error, hr);
    return sd_bus_reply_method_return(call, "sinnnnnn", port.c_str(), baudrate, dataBits, parity,
                                      stopBits, handshake, readTimeout, characterSet);
}

// SendPDUMessage and SendMessage take the same two strings.
using NumberAndText = HRESULT (CSMSMgr::*)(std::u16string_view, std::u16string_view);

template <NumberAndText method>
int OnNumberAndText(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    SmsMgrBusObject& self = Begin(call, userdata);
    const char* phoneNr = nullptr;
    const char* message = nullptr;
    const int r = sd_bus_message_read(call, "ss", &phoneNr, &message);
    if (r < 0) return r;
    const HRESULT hr =
        Guarded([&] { return (self.manager.*method)(Utf8ToUtf16(phoneNr), Utf8ToUtf16(message)); });
    return ReplyEmpty(call, error, hr);
}

int OnGetSMSManagerStatus(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    SmsMgrBusObject& self = Begin(call, userdata);
    std::int8_t iniFileLoad = 0, logFileOpen = 0, portOpen = 0, portInit = 0;
    const HRESULT hr = Guarded([&] {
        return self.manager.GetSMSManagerStatus(iniFileLoad, logFileOpen, portOpen, portInit);
    });
    if (Failed(hr)) return SetHResultError(error, hr);
    // The flags are signed chars; the bus byte carries the same eight bits.
    return sd_bus_reply_method_return(call, "yyyy", static_cast<std::uint8_t>(iniFileLoad),
                                      static_cast<std::uint8_t>(logFileOpen),
                                      static_cast<std::uint8_t>(portOpen),
                                      static_cast<std::uint8_t>(portInit));
}

int OnGetDetectedCOMPortsOnHost(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    SmsMgrBusObject& self = Begin(call, userdata);
    std::uint32_t count = 0;
    std::vector<std::string> names;
    const HRESULT hr = Guarded([&] {
        std::vector<std::u16string> names16;
        const HRESULT got = self.manager.GetDetectedCOMPortsOnHost(count, names16);
        if (!Failed(got)) {
            for (const auto& name : names16) names.push_back(Utf16ToUtf8(name));
        }
        return got;
    });
    if (Failed(hr)) return SetHResultError(error, hr);

    std::vector<char*> strv;
    strv.reserve(names.size() + 1);
    for (auto& name : names) strv.push_back(name.data());
    strv.push_back(nullptr);

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

int OnTestPort(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    SmsMgrBusObject& self = Begin(call, userdata);
    return ReplyEmpty(call, error, Guarded([&] { return self.manager.TestPort(); }));
}

int OnInit(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    SmsMgrBusObject& self = Begin(call, userdata);
    return ReplyEmpty(call, error, Guarded([&] { return self.manager.Init(); }));
}

// The bus library writes its own introspection data without annotations of our choosing, so
// Introspect on the object is answered here, ahead of the library.
int OnObjectMessage(sd_bus_message* message, void*, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(message, "org.freedesktop.DBus.Introspectable",
                                       "Introspect") ||
        !sd_bus_message_has_signature(message, "")) {
        return 0;
    }
    static const std::string xml = ObjectIntrospectionXml();
    return sd_bus_reply_method_return(message, "s", xml.c_str());
}

// Calls come from unprivileged user processes on the session bus.
constexpr std::uint64_t kFlags = SD_BUS_VTABLE_UNPRIVILEGED;

const sd_bus_vtable kMethodTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("SendTextMessage", "ssi",
                             SD_BUS_PARAM(u_bstrPhoneNr) SD_BUS_PARAM(u_bstrMessage)
                                 SD_BUS_PARAM(u_inFlags),
                             "", "", OnSendTextMessage, kFlags),
    SD_BUS_METHOD_WITH_NAMES(
        "SetSettings", "sinnnnnn",
        SD_BUS_PARAM(u_bstrPort) SD_BUS_PARAM(u_loBaudrate) SD_BUS_PARAM(u_shDataBits)
            SD_BUS_PARAM(u_shParity) SD_BUS_PARAM(u_shStopBits) SD_BUS_PARAM(u_shHandshake)
                SD_BUS_PARAM(u_shReadTimeout) SD_BUS_PARAM(u_shCharacterSet),
        "", "", OnSetSettings, kFlags),
    SD_BUS_METHOD_WITH_NAMES(
        "GetSettings", "", "", "sinnnnnn",
        SD_BUS_PARAM(u_bstrPort) SD_BUS_PARAM(u_loBaudrate) SD_BUS_PARAM(u_shDataBits)
            SD_BUS_PARAM(u_shParity) SD_BUS_PARAM(u_shStopBits) SD_BUS_PARAM(u_shHandshake)
                SD_BUS_PARAM(u_shReadTimeout) SD_BUS_PARAM(u_shCharacterSet),
        OnGetSettings, kFlags),
    SD_BUS_METHOD_WITH_NAMES("SendPDUMessage", "ss",
                             SD_BUS_PARAM(u_bstrPhoneNr) SD_BUS_PARAM(u_bstrMessage), "", "",
                             OnNumberAndText<&CSMSMgr::SendPDUMessage>, kFlags),
    SD_BUS_METHOD_WITH_NAMES("GetSMSManagerStatus", "", "", "yyyy",
                             SD_BUS_PARAM(u_boIsINIFileLoad) SD_BUS_PARAM(u_boIsLOGFileOpen)
                                 SD_BUS_PARAM(u_boIsPortOpen) SD_BUS_PARAM(u_boIsPortInit),
                             OnGetSMSManagerStatus, kFlags),
    SD_BUS_METHOD_WITH_NAMES("SendMessage", "ss",
                             SD_BUS_PARAM(u_bstrPhoneNr) SD_BUS_PARAM(u_bstrMessage), "", "",
                             OnNumberAndText<&CSMSMgr::SendMessage>, kFlags),
    SD_BUS_METHOD_WITH_NAMES("GetDetectedCOMPortsOnHost", "", "", "uas",
                             SD_BUS_PARAM(u_uiNrOfPorts) SD_BUS_PARAM(pVal),
                             OnGetDetectedCOMPortsOnHost, kFlags),
    SD_BUS_METHOD_WITH_NAMES("TestPort", "", "", "", "", OnTestPort, kFlags),
    SD_BUS_METHOD_WITH_NAMES("Init", "", "", "", "", OnInit, kFlags),
    SD_BUS_VTABLE_END,
};

}  // namespace

SmsMgrBusObject::SmsMgrBusObject(CSMSMgr& manager_, CallObserver onCall_)
    : manager(manager_), onCall(std::move(onCall_)) {}

SmsMgrBusObject::~SmsMgrBusObject() {
    sd_bus_slot_unref(introspectSlot_);
    sd_bus_slot_unref(methodsSlot_);
}

int SmsMgrBusObject::Publish(sd_bus* bus) {
    int r =
        sd_bus_add_object_vtable(bus, &methodsSlot_, kObjectPath, kInterface, kMethodTable, this);
    if (r < 0) return r;
    r = sd_bus_add_object(bus, &introspectSlot_, kObjectPath, OnObjectMessage, this);
    return r < 0 ? r : 0;
}

const sd_bus_vtable* SmsMgrBusObject::MethodTable() {
    return kMethodTable;
}

}  // namespace merel::dbus
