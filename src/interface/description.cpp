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

constexpr std::array<MethodDescription, 9> kMethods{{
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
              SlotIs(Slot::kTestPort, "TestPort") && SlotIs(Slot::kInit, "Init"));

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

std::span<const MethodDescription> InterfaceMethods() {
    return kMethods;
}

const MethodDescription& Method(Slot slot) {
    return kMethods[static_cast<std::size_t>(slot)];
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

std::string InterfaceXml() {
    std::string xml = std::string(" <interface name=\"") + kInterface + "\">\n";
    xml += "  <annotation name=\"" + std::string(kHelpStringAnnotation) +
           "\" value=\"ISMSMgr Interface\"/>\n";
    for (const MethodDescription& method : kMethods) {
        xml += std::string("  <method name=\"") + method.name + "\">\n";
        for (const ArgumentDescription& arg : method.arguments) {
            xml += std::string("   <arg name=\"") + arg.name + "\" type=\"" + arg.type +
                   "\" direction=\"" + (arg.direction == kIn ? "in" : "out") + "\"/>\n";
        }
        xml += Annotation(kDispIdAnnotation, std::to_string(method.dispId));
        xml += Annotation(kHelpStringAnnotation, method.helpString);
        xml += "  </method>\n";
    }
    xml += " </interface>\n";
    return xml;
}

std::string InterfaceDocument() {
    return std::string(kDoctype) + "<node>\n" + InterfaceXml() + "</node>\n";
}

std::string ObjectIntrospectionXml() {
    return std::string(kDoctype) + "<node>\n" + kStandardInterfaces + InterfaceXml() + "</node>\n";
}

}  // namespace merel::wire
