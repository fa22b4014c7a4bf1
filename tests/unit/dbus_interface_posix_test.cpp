#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "host/dbus/bus_object.h"
#include "host/dbus/interface_description.h"

namespace merel::dbus {
namespace {

// The NUL-separated parameter names of a method table entry.
std::vector<std::string> Names(const char* names) {
    std::vector<std::string> list;
    for (const char* p = names; p != nullptr && *p != '\0'; p += list.back().size() + 1) {
        list.emplace_back(p);
    }
    return list;
}

std::vector<const sd_bus_vtable*> Methods() {
    std::vector<const sd_bus_vtable*> methods;
    for (const sd_bus_vtable* v = SmsMgrBusObject::MethodTable(); v->type != _SD_BUS_VTABLE_END;
         ++v) {
        if (v->type == _SD_BUS_VTABLE_METHOD) methods.push_back(v);
    }
    return methods;
}

// The nine methods in slot order with their dispatch identifiers (7 is not used); the method
// table serves exactly what the description announces; and the introspection data carries every
// method, in order, with its arguments and its dispatch-identifier annotation.
TEST(DbusInterface, NineMethodsInSlotOrderInTableAndIntrospection) {
    const std::pair<std::string, int> expected[] = {{"SendTextMessage", 1},
                                                    {"SetSettings", 2},
                                                    {"GetSettings", 3},
                                                    {"SendPDUMessage", 4},
                                                    {"GetSMSManagerStatus", 5},
                                                    {"SendMessage", 6},
                                                    {"GetDetectedCOMPortsOnHost", 8},
                                                    {"TestPort", 9},
                                                    {"Init", 10}};
    const auto methods = Methods();
    const auto described = InterfaceMethods();
    ASSERT_EQ(described.size(), std::size(expected));
    ASSERT_EQ(methods.size(), described.size());
    const std::string xml = ObjectIntrospectionXml();
    std::size_t from = xml.find("<interface name=\"MerelSMSManagerLib.ISMSMgr\">");
    ASSERT_NE(from, std::string::npos);
    for (std::size_t i = 0; i < methods.size(); ++i) {
        const auto& entry = methods[i]->x.method;
        const MethodDescription& method = described[i];
        SCOPED_TRACE(method.name);
        EXPECT_EQ(method.name, expected[i].first);
        EXPECT_EQ(method.dispId, expected[i].second);
        EXPECT_EQ(std::string("method ") + method.name, method.helpString);
        EXPECT_STREQ(entry.member, method.name);
        EXPECT_TRUE(methods[i]->flags & SD_BUS_VTABLE_UNPRIVILEGED);

        const std::size_t start =
            xml.find(std::string("<method name=\"") + method.name + "\"", from);
        ASSERT_NE(start, std::string::npos);  // and after the method before it
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
    // The installed interface file holds the same interface element.
    EXPECT_NE(InterfaceDocument().find(InterfaceXml()), std::string::npos);
    EXPECT_NE(xml.find(InterfaceXml()), std::string::npos);
}

}  // namespace
}  // namespace merel::dbus
