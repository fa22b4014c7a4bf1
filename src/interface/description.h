// The interfaces as clients see them: ISMSMgr's nine methods and the two that ISMSMgr2 adds, in
// slot order, with their dispatch identifiers, parameter names and D-Bus types, and the one
// signal of ISMSMgr2. The bus method tables, the introspection data and the command-line
// client's calls are all made from this one description; a unit test holds it to the IDL.
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

// A signal of an interface (D-Bus only): its arguments are all sent, their direction is kOut.
struct SignalDescription {
    const char* name;
    const char* helpString;
    std::span<const ArgumentDescription> arguments;
};

struct InterfaceDescription {
    const char* name;  // the D-Bus interface name
    const char* helpString;
    // Its own methods: ISMSMgr2 inherits the nine under COM, but on the bus they stay ISMSMgr's.
    std::span<const MethodDescription> methods;
    std::span<const SignalDescription> signals;
};

// ISMSMgr, then ISMSMgr2.
std::span<const InterfaceDescription> Interfaces();
// The nine methods of ISMSMgr.
std::span<const MethodDescription> InterfaceMethods();

// The methods by their place in the description, so that code that handles one method names it
// without spelling out its name or its signature again.
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
    kSendConfirmed,
    kCheckModem,
};
const MethodDescription& Method(Slot slot);
// The interface whose method the slot is.
const InterfaceDescription& InterfaceOf(Slot slot);

// What a confirmed send's caller is told besides the result, before it (D-Bus): the warnings and
// the transcript of what the modem said.
const SignalDescription& SendReportSignal();
// The interface that sends it.
const InterfaceDescription& SendReportInterface();

// The D-Bus signature of the method's in (call) or out (reply) arguments, in their order.
std::string Signature(const MethodDescription& method, Direction direction);
// The same for a slot, made once and kept for the life of the process.
const char* Signature(Slot slot, Direction direction);
// The signature of a signal's arguments.
std::string Signature(const SignalDescription& signal);

// The annotations that carry what the type library holds on Windows.
inline constexpr const char* kDispIdAnnotation = "MerelSMSManagerLib.DispId";
inline constexpr const char* kHelpStringAnnotation = "MerelSMSManagerLib.HelpString";

// The <interface> element of one of our interfaces.
std::string InterfaceXml(const InterfaceDescription& described);
// The interface file installed for registration: a <node> holding only that interface.
std::string InterfaceDocument(const InterfaceDescription& described);
// What Introspect on the object returns: our interfaces and the standard ones the bus library
// serves on every object.
std::string ObjectIntrospectionXml();

}  // namespace merel::wire
