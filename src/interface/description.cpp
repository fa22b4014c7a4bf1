#include "interface/description.h"

#include <array>
#include <string_view>

#include "interface/names.h"

namespace merel::wire {

namespace {

using enum Direction;

constexpr std::array<ArgumentDescription, 3> kSendTextMessage{{
    {"u_bstrPhoneNr", "s", kIn},
    {"u_bstrMessage", "s", kIn},
    {"u_inFlags", "i", kIn},
}};
constexpr std::array<ArgumentDescription, 8> kSetSettings{{
    {"u_bstrPort", "s", kIn},
    {"u_loBaudrate", "i", kIn},
    {"u_shDataBits", "n", kIn},
    {"u_shParity", "n", kIn},
    {"u_shStopBits", "n", kIn},
    {"u_shHandshake", "n", kIn},
    {"u_shReadTimeout", "n", kIn},
    {"u_shCharacterSet", "n", kIn},
}};
constexpr std::array<ArgumentDescription, 8> kGetSettings{{
    {"u_bstrPort", "s", kOut},
    {"u_loBaudrate", "i", kOut},
    {"u_shDataBits", "n", kOut},
    {"u_shParity", "n", kOut},
    {"u_shStopBits", "n", kOut},
    {"u_shHandshake", "n", kOut},
    {"u_shReadTimeout", "n", kOut},
    {"u_shCharacterSet", "n", kOut},
}};
constexpr std::array<ArgumentDescription, 2> kPhoneAndMessage{{
    {"u_bstrPhoneNr", "s", kIn},
    {"u_bstrMessage", "s", kIn},
}};
constexpr std::array<ArgumentDescription, 4> kGetSMSManagerStatus{{
    {"u_boIsINIFileLoad", "y", kOut},
    {"u_boIsLOGFileOpen", "y", kOut},
    {"u_boIsPortOpen", "y", kOut},
    {"u_boIsPortInit", "y", kOut},
}};
constexpr std::array<ArgumentDescription, 2> kGetDetectedCOMPortsOnHost{{
    {"u_uiNrOfPorts", "u", kOut},
    {"pVal", "as", kOut},
}};

constexpr std::array<ArgumentDescription, 4> kSendConfirmed{{
    {"u_bstrPhoneNr", "s", kIn},
    {"u_bstrMessage", "s", kIn},
    {"u_shMode", "n", kIn},
    {"u_loReference", "i", kOut},
}};
constexpr std::array<ArgumentDescription, 2> kCheckModem{{
    {"u_uiNrOfLines", "u", kOut},
    {"pVal", "as", kOut},
}};

// ISMSMgr's nine, then ISMSMgr2's own two: the order of the slots.
constexpr std::size_t kFirstInterfaceMethods = 9;
constexpr std::array<MethodDescription, 11> kMethods{{
    {"SendTextMessage", 1, "method SendTextMessage", kSendTextMessage},
    {"SetSettings", 2, "method SetSettings", kSetSettings},
    {"GetSettings", 3, "method GetSettings", kGetSettings},
    {"SendPDUMessage", 4, "method SendPDUMessage", kPhoneAndMessage},
    {"GetSMSManagerStatus", 5, "method GetSMSManagerStatus", kGetSMSManagerStatus},
    {"SendMessage", 6, "method SendMessage", kPhoneAndMessage},
    {"GetDetectedCOMPortsOnHost", 8, "method GetDetectedCOMPortsOnHost",
     kGetDetectedCOMPortsOnHost},
    {"TestPort", 9, "method TestPort", {}},
    {"Init", 10, "method Init", {}},
    {"SendConfirmed", 11, "method SendConfirmed", kSendConfirmed},
    {"CheckModem", 12, "method CheckModem", kCheckModem},
}};

constexpr std::array<ArgumentDescription, 2> kSendReportArguments{{
    {"warnings", "as", kOut},
    {"transcript", "s", kOut},
}};
constexpr std::array<SignalDescription, 1> kSignals2{{
    {"SendReport",
     "what the modem said during a confirmed send, sent to its caller alone before the reply",
     kSendReportArguments},
}};

constexpr std::array<InterfaceDescription, 2> kInterfaces{{
    {kInterface, "ISMSMgr Interface", std::span(kMethods).first(kFirstInterfaceMethods), {}},
    {kInterface2, "ISMSMgr2 Interface", std::span(kMethods).subspan(kFirstInterfaceMethods),
     kSignals2},
}};

// The slots name the described methods in their order.
constexpr bool SlotIs(Slot slot, std::string_view name) {
    return name == kMethods[static_cast<std::size_t>(slot)].name;
}
static_assert(SlotIs(Slot::kSendTextMessage, "SendTextMessage") &&
              SlotIs(Slot::kSetSettings, "SetSettings") &&
              SlotIs(Slot::kGetSettings, "GetSettings") &&
              SlotIs(Slot::kSendPDUMessage, "SendPDUMessage") &&
              SlotIs(Slot::kGetSMSManagerStatus, "GetSMSManagerStatus") &&
              SlotIs(Slot::kSendMessage, "SendMessage") &&
              SlotIs(Slot::kGetDetectedCOMPortsOnHost, "GetDetectedCOMPortsOnHost") &&
              SlotIs(Slot::kTestPort, "TestPort") && SlotIs(Slot::kInit, "Init") &&
              SlotIs(Slot::kSendConfirmed, "SendConfirmed") &&
              SlotIs(Slot::kCheckModem, "CheckModem"));
static_assert(static_cast<std::size_t>(Slot::kCheckModem) + 1 == kMethods.size());

constexpr const char* kDoctype =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n";

// The standard interfaces, as the bus library implements them for every object.
constexpr const char* kStandardInterfaces =
    " <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\">\n"
    "   <arg type=\"s\" name=\"machine_uuid\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\">\n"
    "   <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "  <method name=\"Get\">\n"
    "   <arg name=\"interface_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"property_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"value\" direction=\"out\" type=\"v\"/>\n"
    "  </method>\n"
    "  <method name=\"GetAll\">\n"
    "   <arg name=\"interface_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"props\" direction=\"out\" type=\"a{sv}\"/>\n"
    "  </method>\n"
    "  <method name=\"Set\">\n"
    "   <arg name=\"interface_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"property_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"value\" direction=\"in\" type=\"v\"/>\n"
    "  </method>\n"
    "  <signal name=\"PropertiesChanged\">\n"
    "   <arg type=\"s\" name=\"interface_name\"/>\n"
    "   <arg type=\"a{sv}\" name=\"changed_properties\"/>\n"
    "   <arg type=\"as\" name=\"invalidated_properties\"/>\n"
    "  </signal>\n"
    " </interface>\n";

std::string Annotation(const char* name, const std::string& value) {
    return std::string("   <annotation name=\"") + name + "\" value=\"" + value + "\"/>\n";
}

}  // namespace

std::span<const InterfaceDescription> Interfaces() {
    return kInterfaces;
}

std::span<const MethodDescription> InterfaceMethods() {
    return kInterfaces[0].methods;
}

const MethodDescription& Method(Slot slot) {
    return kMethods[static_cast<std::size_t>(slot)];
}

const InterfaceDescription& InterfaceOf(Slot slot) {
    return kInterfaces[static_cast<std::size_t>(slot) < kFirstInterfaceMethods ? 0 : 1];
}

const SignalDescription& SendReportSignal() {
    return kSignals2[0];
}

const InterfaceDescription& SendReportInterface() {
    return kInterfaces[1];
}

std::string Signature(const SignalDescription& signal) {
    std::string signature;
    for (const ArgumentDescription& arg : signal.arguments) signature += arg.type;
    return signature;
}

std::string Signature(const MethodDescription& method, Direction direction) {
    std::string signature;
    for (const ArgumentDescription& arg : method.arguments) {
        if (arg.direction == direction) signature += arg.type;
    }
    return signature;
}

const char* Signature(Slot slot, Direction direction) {
    struct Signatures {
        std::array<std::string, kMethods.size()> in, out;
        Signatures() {
            for (std::size_t i = 0; i < kMethods.size(); ++i) {
                in[i] = Signature(kMethods[i], kIn);
                out[i] = Signature(kMethods[i], kOut);
            }
        }
    };
    static const Signatures made;
    const auto i = static_cast<std::size_t>(slot);
    return (direction == kIn ? made.in[i] : made.out[i]).c_str();
}

std::string InterfaceXml(const InterfaceDescription& interface) {
    std::string xml = std::string(" <interface name=\"") + interface.name + "\">\n";
    xml += "  <annotation name=\"" + std::string(kHelpStringAnnotation) + "\" value=\"" +
           interface.helpString + "\"/>\n";
    for (const MethodDescription& method : interface.methods) {
        xml += std::string("  <method name=\"") + method.name + "\">\n";
        for (const ArgumentDescription& arg : method.arguments) {
            xml += std::string("   <arg name=\"") + arg.name + "\" type=\"" + arg.type +
                   "\" direction=\"" + (arg.direction == kIn ? "in" : "out") + "\"/>\n";
        }
        xml += Annotation(kDispIdAnnotation, std::to_string(method.dispId));
        xml += Annotation(kHelpStringAnnotation, method.helpString);
        xml += "  </method>\n";
    }
    for (const SignalDescription& signal : interface.signals) {
        xml += std::string("  <signal name=\"") + signal.name + "\">\n";
        for (const ArgumentDescription& arg : signal.arguments) {
            xml += std::string("   <arg name=\"") + arg.name + "\" type=\"" + arg.type + "\"/>\n";
        }
        xml += Annotation(kHelpStringAnnotation, signal.helpString);
        xml += "  </signal>\n";
    }
    xml += " </interface>\n";
    return xml;
}

std::string InterfaceDocument(const InterfaceDescription& interface) {
    return std::string(kDoctype) + "<node>\n" + InterfaceXml(interface) + "</node>\n";
}

std::string ObjectIntrospectionXml() {
    std::string xml = std::string(kDoctype) + "<node>\n" + kStandardInterfaces;
    for (const InterfaceDescription& interface : kInterfaces) xml += InterfaceXml(interface);
    return xml + "</node>\n";
}

}  // namespace merel::wire
