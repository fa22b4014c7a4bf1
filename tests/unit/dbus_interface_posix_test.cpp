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

std::vector<const sd_bus_vtable*> Methods() {
    std::vector<const sd_bus_vtable*> methods;
    for (const sd_bus_vtable* v = SmsMgrBusObject::MethodTable(); v->type != _SD_BUS_VTABLE_END;
         ++v) {
        if (v->type == _SD_BUS_VTABLE_METHOD) methods.push_back(v);
    }
    return methods;
}

// The method table serves exactly what the description announces (the description itself is
// held to the IDL below); and the introspection data carries every method, in order, with its
// arguments and its dispatch-identifier annotation.
TEST(DbusInterface, TableAndIntrospectionFollowTheDescription) {
    const auto methods = Methods();
    const auto described = InterfaceMethods();
    ASSERT_EQ(methods.size(), described.size());
    const std::string xml = ObjectIntrospectionXml();
    std::size_t from = xml.find("<interface name=\"MerelSMSManagerLib.ISMSMgr\">");
    ASSERT_NE(from, std::string::npos);
    for (std::size_t i = 0; i < methods.size(); ++i) {
        const auto& entry = methods[i]->x.method;
        const MethodDescription& method = described[i];
        SCOPED_TRACE(method.name);
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

// One method of ISMSMgr as the IDL declares it, its arguments in D-Bus terms.
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
    // The one VARIANT of the interface is the retval array of port names.
    if (idlType == "VARIANT" && attributes.find("retval") != std::string::npos) return "as";
    const auto found = types.find(idlType);
    return found == types.end() ? "?" + idlType : found->second;
}

std::vector<IdlMethod> ReadIdl() {
    std::ifstream file(MEREL_IDL_PATH);
    std::stringstream content;
    content << file.rdbuf();
    std::string idl = content.str();
    const auto from = idl.find("interface ISMSMgr");
    if (from == std::string::npos) return {};
    idl = idl.substr(from, idl.find("};", from) - from);

    const std::regex method(
        R"re(\[id\((\d+)\),\s*helpstring\("([^"]*)"\)\]\s*HRESULT\s+(\w+)\s*\(([^)]*)\)\s*;)re");
    const std::regex parameter(R"re(\[([^\]]*)\]\s*([A-Za-z ]+?)\s*\*?\s*(\w+)\s*(?:,|$))re");
    std::vector<IdlMethod> methods;
    for (std::sregex_iterator m(idl.begin(), idl.end(), method), end; m != end; ++m) {
        IdlMethod parsed{(*m)[3], std::stoi((*m)[1]), (*m)[2], {}};
        const std::string params = (*m)[4];
        for (std::sregex_iterator p(params.begin(), params.end(), parameter); p != end; ++p) {
            const std::string attributes = (*p)[1];
            const Direction direction =
                attributes.find("out") != std::string::npos ? Direction::kOut : Direction::kIn;
            parsed.arguments.emplace_back((*p)[3], DbusType((*p)[2], attributes), direction);
        }
        methods.push_back(std::move(parsed));
    }
    return methods;
}

TEST(DbusInterface, DescriptionMatchesTheIdl) {
    const std::vector<IdlMethod> idl = ReadIdl();
    const auto described = InterfaceMethods();
    ASSERT_EQ(idl.size(), 9u) << "cannot read the methods of " << MEREL_IDL_PATH;
    ASSERT_EQ(described.size(), idl.size());
    for (std::size_t i = 0; i < idl.size(); ++i) {
        const MethodDescription& method = described[i];
        SCOPED_TRACE(idl[i].name);
        EXPECT_EQ(method.name, idl[i].name);
        EXPECT_EQ(method.dispId, idl[i].dispId);
        EXPECT_EQ(method.helpString, idl[i].helpString);
        std::vector<std::tuple<std::string, std::string, Direction>> arguments;
        for (const ArgumentDescription& arg : method.arguments) {
            arguments.emplace_back(arg.name, arg.type, arg.direction);
        }
        EXPECT_EQ(arguments, idl[i].arguments);
    }
}

}  // namespace
}  // namespace merel::dbus
