// The interface as clients see it: the nine methods in slot order, with their dispatch
// identifiers, parameter names and D-Bus types. The bus method table, the introspection data
// and the command-line client's calls are all made from this one description; a unit test holds
// it to the IDL.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace merel::wire {

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

// The nine methods by their place in the description, so that code that handles one method
// names it without spelling out its name or its signature again.
enum class Slot : std::size_t {
    kSendTextMessage,
    kSetSettings,
    kGetSettings,
    kSendPDUMessage,
    kGetSMSManagerStatus,
    kSendMessage,
    kGetDetectedCOMPortsOnHost,
    kTestPort,
    kInit,
};
const MethodDescription& Method(Slot slot);

// The D-Bus signature of the method's in (call) or out (reply) arguments, in their order.
std::string Signature(const MethodDescription& method, Direction direction);
// The same for a slot, made once and kept for the life of the process.
const char* Signature(Slot slot, Direction direction);

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

}  // namespace merel::wire
