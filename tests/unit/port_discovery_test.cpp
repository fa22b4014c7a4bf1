// The host's port list over the device enumeration: devices without a name, the fallback list
// and the count.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes.h"
#include "port/port_discovery.h"

namespace merel {
namespace {

using Names = std::vector<std::u16string>;

class PortDiscovery : public ::testing::Test {
  protected:
    HRESULT Discover() { return DiscoverPorts(ports, count, names); }

    test::FakePortEnumerator ports;
    std::uint32_t count = 77;
    // Whatever the caller's list held is replaced.
    Names names = {u"stale"};
};

TEST_F(PortDiscovery, EmptyDeviceSetGivesAnEmptyListNotTheFallback) {
    EXPECT_EQ(Discover(), kS_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(names.empty());
}

TEST_F(PortDiscovery, FailedQueryGivesCom1ToCom9InOrder) {
    ports.devices = std::nullopt;
    EXPECT_EQ(Discover(), kS_OK);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(names, (Names{u"COM1", u"COM2", u"COM3", u"COM4", u"COM5", u"COM6", u"COM7", u"COM8",
                            u"COM9"}));
}

TEST_F(PortDiscovery, NamelessDevicesAreLeftOutAndLaterOnesListedWhole) {
    ports.devices = std::vector<std::optional<std::u16string>>{
        std::nullopt,
        u"Communications Port (COM1)",
        std::nullopt,
        std::nullopt,
        u"USB Modem (/dev/ttyUSB0)",
        u"",  // a name that reads as empty is still a name
        u"ECP Printer Port (LPT1)",
    };
    EXPECT_EQ(Discover(), kS_OK);
    EXPECT_EQ(names, (Names{u"Communications Port (COM1)", u"USB Modem (/dev/ttyUSB0)", u"",
                            u"ECP Printer Port (LPT1)"}));
    EXPECT_EQ(count, names.size());
}

TEST_F(PortDiscovery, OnlyNamelessDevicesGiveAnEmptyList) {
    ports.devices = std::vector<std::optional<std::u16string>>{std::nullopt, std::nullopt};
    EXPECT_EQ(Discover(), kS_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(names.empty());
}

TEST_F(PortDiscovery, CountFollowsTheListForManyDevices) {
    std::vector<std::optional<std::u16string>> devices;
    for (int i = 0; i < 300; ++i) {
        devices.emplace_back(i % 3 == 0 ? std::nullopt
                                        : std::optional(u"Port " + Utf8ToUtf16(std::to_string(i))));
    }
    ports.devices = devices;
    EXPECT_EQ(Discover(), kS_OK);
    EXPECT_EQ(count, 200u);
    ASSERT_EQ(names.size(), 200u);
    EXPECT_EQ(names.front(), u"Port 1");
    EXPECT_EQ(names.back(), u"Port 299");
}

}  // namespace
}  // namespace merel
