#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "host/dbus/bus_object.h"
#include "interface/description.h"

namespace merel::dbus {

using namespace merel::wire;
namespace {

// The NUL-separated parameter names of a method table entry.
std::vector<std::string> Names(const char* names) {
    std::vector<std::string> list;
    for (const char* p = names; p != nullptr && *p != '\0'; p += list.back().size() + 1) {
        list.emplace_back(p);
    }
    return list;
}

// The entries of one kind in the method table of the interface at `interface`.
std::vector<const sd_bus_vtable*> Entries(std::size_t interface, int type) {
    std::vector<const sd_bus_vtable*> entries;
    for (const sd_bus_vtable* v = SmsMgrBusObject::MethodTable(interface);
         v->type != _SD_BUS_VTABLE_END; ++v) {
        if (v->type == type) entries.push_back(v);
    }
    return entries;
}

// Each interface's method table serves exactly what the description announces (the
// description itself is held to the IDL below); and the introspection data carries every
// method, in order, with its arguments and its dispatch-identifier annotation, in the element
// of its own interface.
TEST(DbusInterface, TableAndIntrospectionFollowTheDescription) {
    const std::string xml = ObjectIntrospectionXml();
    ASSERT_EQ(Interfaces().size(), 2u);
    for (std::size_t n = 0; n < Interfaces().size(); ++n) {
        const InterfaceDescription& interface = Interfaces()[n];
        SCOPED_TRACE(interface.name);
        const auto methods = Entries(n, _SD_BUS_VTABLE_METHOD);
        const auto described = interface.methods;
        ASSERT_EQ(methods.size(), described.size());
        std::size_t from = xml.find(std::string("<interface name=\"") + interface.name + "\">");
        ASSERT_NE(from, std::string::npos);
        const std::size_t end = xml.find("</interface>", from);
        for (std::size_t i = 0; i < methods.size(); ++i) {
            const auto& entry = methods[i]->x.method;
            const MethodDescription& method = described[i];
            SCOPED_TRACE(method.name);
            EXPECT_STREQ(entry.member, method.name);
            EXPECT_TRUE(methods[i]->flags & SD_BUS_VTABLE_UNPRIVILEGED);

            const std::size_t start =
                xml.find(std::string("<method name=\"") + method.name + "\"", from);
            ASSERT_LT(start, end);  // in its interface, and after the method before it
            from = xml.find("</method>", start);
            const std::string element = xml.substr(start, from - start);
            EXPECT_NE(element.find("<annotation name=\"MerelSMSManagerLib.DispId\" value=\"" +
                                   std::to_string(method.dispId) + "\"/>"),
                      std::string::npos);

            // In arguments first, then out arguments.
            std::string signature[2];
            std::vector<std::string> names;
            for (auto direction : {Direction::kIn, Direction::kOut}) {
                for (const auto& arg : method.arguments) {
                    if (arg.direction != direction) continue;
                    signature[direction == Direction::kOut] += arg.type;
                    names.emplace_back(arg.name);
                    EXPECT_NE(element.find(std::string("<arg name=\"") + arg.name + "\" type=\"" +
                                           arg.type + "\" direction=\"" +
                                           (direction == Direction::kIn ? "in" : "out") + "\"/>"),
                              std::string::npos)
                        << arg.name;
                }
            }
            EXPECT_EQ(entry.signature, signature[0]);
            EXPECT_EQ(entry.result, signature[1]);
            EXPECT_EQ(Names(entry.names), names);
        }
        // The installed interface file holds the same interface element, and only it.
        EXPECT_NE(InterfaceDocument(interface).find(InterfaceXml(interface)), std::string::npos);
        EXPECT_NE(xml.find(InterfaceXml(interface)), std::string::npos);
        EXPECT_EQ(InterfaceDocument(interface).find("<interface", 1),
                  InterfaceDocument(interface).rfind("<interface"));
    }
}

// ISMSMgr2 holds only its own two methods on the bus (the nine stay ISMSMgr's) and declares
// the report signal that a confirmed send's caller gets.
TEST(DbusInterface, TheSecondInterfaceAddsTwoMethodsAndTheReportSignal) {
    std::vector<std::string> members;
    for (const sd_bus_vtable* v : Entries(1, _SD_BUS_VTABLE_METHOD)) {
        members.emplace_back(v->x.method.member);
    }
    EXPECT_EQ(members, (std::vector<std::string>{"SendConfirmed", "CheckModem"}));
    EXPECT_STREQ(Method(Slot::kSendConfirmed).name, "SendConfirmed");
    EXPECT_STREQ(Signature(Slot::kSendConfirmed, Direction::kIn), "ssn");
    EXPECT_STREQ(Signature(Slot::kSendConfirmed, Direction::kOut), "i");
    EXPECT_STREQ(Signature(Slot::kCheckModem, Direction::kOut), "uas");
    EXPECT_STREQ(InterfaceOf(Slot::kCheckModem).name, "MerelSMSManagerLib.ISMSMgr2");
    EXPECT_STREQ(InterfaceOf(Slot::kInit).name, "MerelSMSManagerLib.ISMSMgr");

    const auto signals = Entries(1, _SD_BUS_VTABLE_SIGNAL);
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_STREQ(signals[0]->x.signal.member, "SendReport");
    EXPECT_STREQ(signals[0]->x.signal.signature, "ass");
    EXPECT_TRUE(Entries(0, _SD_BUS_VTABLE_SIGNAL).empty());
    const std::string xml = InterfaceXml(Interfaces()[1]);
    EXPECT_NE(xml.find("  <signal name=\"SendReport\">\n"
                       "   <arg name=\"warnings\" type=\"as\"/>\n"
                       "   <arg name=\"transcript\" type=\"s\"/>\n"),
              std::string::npos)
        << xml;
}

// One method of an interface as the IDL declares it, its arguments in D-Bus terms.
struct IdlMethod {
    std::string name;
    int dispId;
    std::string helpString;
    std::vector<std::tuple<std::string, std::string, Direction>> arguments;  // name, type, dir
};

std::string DbusType(const std::string& idlType, const std::string& attributes) {
    static const std::map<std::string, std::string> types = {
        {"BSTR", "s"},  {"long", "i"}, {"int", "i"},
        {"short", "n"}, {"char", "y"}, {"unsigned int", "u"},
    };
    // A VARIANT of the interfaces is a retval array of strings (port names, answer lines).
    if (idlType == "VARIANT" && attributes.find("retval") != std::string::npos) return "as";
    const auto found = types.find(idlType);
    return found == types.end() ? "?" + idlType : found->second;
}

struct IdlInterface {
    std::string helpString;
    std::vector<IdlMethod> methods;
};

// The definition of `name` (interface NAME : BASE { … };) with the attributes before it.
IdlInterface ReadIdl(const std::string& name) {
    std::ifstream file(MEREL_IDL_PATH);
    std::stringstream content;
    content << file.rdbuf();
    const std::string whole = content.str();
    std::smatch head;
    if (!std::regex_search(whole, head, std::regex("interface " + name + R"re(\s*:)re"))) return {};
    const auto from = static_cast<std::size_t>(head.position(0));
    const std::string idl = whole.substr(from, whole.find("};", from) - from);
    IdlInterface parsed;
    const std::string attributes = whole.substr(0, from).substr(whole.rfind('[', from));
    std::smatch help;
    if (std::regex_search(attributes, help, std::regex(R"re(helpstring\("([^"]*)"\))re"))) {
        parsed.helpString = help[1];
    }

    const std::regex method(
        R"re(\[id\((\d+)\),\s*helpstring\("([^"]*)"\)\]\s*HRESULT\s+(\w+)\s*\(([^)]*)\)\s*;)re");
    const std::regex parameter(R"re(\[([^\]]*)\]\s*([A-Za-z ]+?)\s*\*?\s*(\w+)\s*(?:,|$))re");
    for (std::sregex_iterator m(idl.begin(), idl.end(), method), end; m != end; ++m) {
        IdlMethod one{(*m)[3], std::stoi((*m)[1]), (*m)[2], {}};
        const std::string params = (*m)[4];
        for (std::sregex_iterator p(params.begin(), params.end(), parameter); p != end; ++p) {
            const std::string attrs = (*p)[1];
            const Direction direction =
                attrs.find("out") != std::string::npos ? Direction::kOut : Direction::kIn;
            one.arguments.emplace_back((*p)[3], DbusType((*p)[2], attrs), direction);
        }
        parsed.methods.push_back(std::move(one));
    }
    return parsed;
}

// Both interfaces: ISMSMgr's nine, and the two that ISMSMgr2 declares beyond them.
TEST(DbusInterface, DescriptionMatchesTheIdl) {
    const std::size_t counts[] = {9, 2};
    for (std::size_t n = 0; n < Interfaces().size(); ++n) {
        const InterfaceDescription& interface = Interfaces()[n];
        const std::string name =
            std::string(interface.name).substr(std::string("MerelSMSManagerLib.").size());
        SCOPED_TRACE(name);
        const IdlInterface idl = ReadIdl(name);
        const auto described = interface.methods;
        ASSERT_EQ(idl.methods.size(), counts[n])
            << "cannot read the methods of " << name << " in " << MEREL_IDL_PATH;
        ASSERT_EQ(described.size(), idl.methods.size());
        EXPECT_EQ(interface.helpString, idl.helpString);
        for (std::size_t i = 0; i < idl.methods.size(); ++i) {
            const MethodDescription& method = described[i];
            SCOPED_TRACE(idl.methods[i].name);
            EXPECT_EQ(method.name, idl.methods[i].name);
            EXPECT_EQ(method.dispId, idl.methods[i].dispId);
            EXPECT_EQ(method.helpString, idl.methods[i].helpString);
            std::vector<std::tuple<std::string, std::string, Direction>> arguments;
            for (const ArgumentDescription& arg : method.arguments) {
                arguments.emplace_back(arg.name, arg.type, arg.direction);
            }
            EXPECT_EQ(arguments, idl.methods[i].arguments);
        }
    }
}

}  // namespace
}  // namespace merel::dbus
