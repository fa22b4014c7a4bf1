// The interface as clients see it: the nine methods in slot order, with their dispatch
// identifiers, parameter names and D-Bus types. Both the introspection data and the check of
// the method table are made from this one description.
#pragma once

#include <span>
#include <string>

namespace merel::dbus {

enum class Direction { kIn, kOut };

struct ArgumentDescription {
    const char* name;
    const char* type;  // D-Bus signature of one complete type
    Direction direction;
};

struct MethodDescription {
    const char* name;
    int dispId;
    const char* helpString;
    std::span<const ArgumentDescription> arguments;
};

std::span<const MethodDescription> InterfaceMethods();

// The annotations that carry what the type library holds on Windows.
inline constexpr const char* kDispIdAnnotation = "MerelSMSManagerLib.DispId";
inline constexpr const char* kHelpStringAnnotation = "MerelSMSManagerLib.HelpString";

// The <interface> element of MerelSMSManagerLib.ISMSMgr.
std::string InterfaceXml();
// The interface file installed for registration: a <node> holding only our interface.
std::string InterfaceDocument();
// What Introspect on the object returns: our interface and the standard ones the bus library
// serves on every object.
std::string ObjectIntrospectionXml();

}  // namespace merel::dbus
