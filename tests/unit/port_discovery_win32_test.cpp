// Port discovery through the real SetupAPI: whatever the system reports, the list is complete
// and well formed, and a working device query never gives the fallback names.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/narrow.h"
#include "port/port_discovery.h"

namespace merel {
namespace {

TEST(PortDiscoveryWin32, DeviceQueryAnswersWithAWellFormedList) {
    const auto devices = SystemPortEnumerator().Enumerate();
    ASSERT_TRUE(devices.has_value()) << "the Ports class could not be queried";

    std::uint32_t count = 99;
    std::vector<std::u16string> names = {u"stale"};
    EXPECT_EQ(DiscoverPorts(SystemPortEnumerator(), count, names), kS_OK);
    EXPECT_EQ(count, names.size());
    std::size_t named = 0;
    for (const auto& device : *devices) named += device.has_value() ? 1 : 0;
    EXPECT_EQ(names.size(), named);
    for (const auto& name : names) {
        SCOPED_TRACE(Utf16ToUtf8(name));
        EXPECT_EQ(name.find(u'\0'), std::u16string::npos);
        EXPECT_LT(name.size(), 260u);
    }
    // A real query, not the list offered when it fails.
    const std::vector<std::u16string> fallback = {u"COM1", u"COM2", u"COM3", u"COM4", u"COM5",
                                                  u"COM6", u"COM7", u"COM8", u"COM9"};
    EXPECT_NE(names, fallback);
    std::printf("Ports class: %u device(s)\n", static_cast<unsigned>(count));
}

}  // namespace
}  // namespace merel
