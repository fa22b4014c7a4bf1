#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/dbus/bus_object.h"
#include "host/dbus/interface_description.h"

namespace merel::dbus {
namespace {

std::string Join(std::span<const ArgumentDescription> args, Direction direction) {
    std::string text;
    for (const auto& arg : args) {
        if (arg.direction == direction) text += arg.type;
    }
    return text;
}

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

TEST(DbusInterface, NineMethodsInSlotOrderWithTheirDispatchIdentifiers) {
    std::vector<std::string> names;
    std::vector<int> dispIds;
    for (const auto& method : InterfaceMethods()) {
        names.emplace_back(method.name);
        dispIds.push_back(method.dispId);
        EXPECT_EQ(std::string("method ") + method.name, method.helpString);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"SendTextMessage", "SetSettings", "GetSettings",
                                        "SendPDUMessage", "GetSMSManagerStatus", "SendMessage",
                                        "GetDetectedCOMPortsOnHost", "TestPort", "Init"}));
    // Identifier 7 is not used.
    EXPECT_EQ(dispIds, (std::vector<int>{1, 2, 3, 4, 5, 6, 8, 9, 10}));
}

TEST(DbusInterface, MethodTableServesExactlyWhatTheDescriptionAnnounces) {
    const auto methods = Methods();
    const auto described = InterfaceMethods();
    ASSERT_EQ(methods.size(), described.size());
    for (std::size_t i = 0; i < methods.size(); ++i) {
        const auto& entry = methods[i]->x.method;
        const MethodDescription& method = described[i];
        SCOPED_TRACE(method.name);
        EXPECT_STREQ(entry.member, method.name);
        EXPECT_EQ(entry.signature, Join(method.arguments, Direction::kIn));
        EXPECT_EQ(entry.result, Join(method.arguments, Direction::kOut));
        std::vector<std::string> expectedNames;
        for (auto direction : {Direction::kIn, Direction::kOut}) {
            for (const auto& arg : method.arguments) {
                if (arg.direction == direction) expectedNames.emplace_back(arg.name);
            }
        }
        EXPECT_EQ(Names(entry.names), expectedNames);
        EXPECT_TRUE(methods[i]->flags & SD_BUS_VTABLE_UNPRIVILEGED);
    }
}

TEST(DbusInterface, IntrospectionDataCarriesEveryMethodWithItsAnnotations) {
    const std::string xml = ObjectIntrospectionXml();
    std::size_t from = xml.find("<interface name=\"MerelSMSManagerLib.ISMSMgr\">");
    ASSERT_NE(from, std::string::npos);
    for (const auto& method : InterfaceMethods()) {
        SCOPED_TRACE(method.name);
        const std::size_t start =
            xml.find(std::string("<method name=\"") + method.name + "\"", from);
        ASSERT_NE(start, std::string::npos);  // and after the method before it
        const std::size_t end = xml.find("</method>", start);
        const std::string element = xml.substr(start, end - start);
        EXPECT_NE(element.find("<annotation name=\"MerelSMSManagerLib.DispId\" value=\"" +
                               std::to_string(method.dispId) + "\"/>"),
                  std::string::npos);
        for (const auto& arg : method.arguments) {
            EXPECT_NE(element.find(std::string("<arg name=\"") + arg.name + "\" type=\"" +
                                   arg.type + "\" direction=\"" +
                                   (arg.direction == Direction::kIn ? "in" : "out") + "\"/>"),
                      std::string::npos)
                << arg.name;
        }
        from = end;
    }
    // The installed interface file holds the same interface element.
    EXPECT_NE(InterfaceDocument().find(InterfaceXml()), std::string::npos);
    EXPECT_NE(xml.find(InterfaceXml()), std::string::npos);
}

}  // namespace
}  // namespace merel::dbus
