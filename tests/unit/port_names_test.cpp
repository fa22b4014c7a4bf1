// Port names on their way to the Windows calls: the device-namespace prefix for ports from
// COM10 up, and the bare name for the default-configuration query.
#include <gtest/gtest.h>

#include <string>

#include "base/narrow.h"
#include "port/port_names.h"

namespace merel {
namespace {

TEST(PortNames, HighComPortsOpenInTheDeviceNamespace) {
    for (const char16_t* name : {u"COM10", u"com10", u"Com12", u"COM255", u"COM010", u"COM1000"}) {
        SCOPED_TRACE(Utf16ToUtf8(name));
        EXPECT_EQ(PortNameForOpen(name), u"\\\\.\\" + std::u16string(name));
    }
}

TEST(PortNames, OtherNamesOpenUnchanged) {
    // COM09 is port 9; the rest are no COM<n> name or carry the prefix already.
    for (const char16_t* name :
         {u"COM1", u"COM9", u"COM09", u"COM", u"COM1A", u"COM10 ", u" COM10", u"COMX10", u"LPT10",
          u"\\\\.\\COM10", u"\\\\.\\COM3", u"/dev/ttyUSB0", u"", u"CNCA0"}) {
        SCOPED_TRACE(Utf16ToUtf8(name));
        EXPECT_EQ(PortNameForOpen(name), name);
    }
}

TEST(PortNames, DefaultConfigurationQueryGetsTheNameWithoutThePrefix) {
    EXPECT_EQ(PortNameForDefaultConfig(u"\\\\.\\COM10"), u"COM10");
    EXPECT_EQ(PortNameForDefaultConfig(u"\\\\.\\COM3"), u"COM3");
    EXPECT_EQ(PortNameForDefaultConfig(u"COM10"), u"COM10");
    EXPECT_EQ(PortNameForDefaultConfig(u"COM1"), u"COM1");
    // Only the exact prefix counts.
    EXPECT_EQ(PortNameForDefaultConfig(u"\\\\?\\COM10"), u"\\\\?\\COM10");
    EXPECT_EQ(PortNameForDefaultConfig(u"\\\\.\\"), u"");
}

}  // namespace
}  // namespace merel
