// Port discovery on Linux, on a made-up sysfs tree and udev database in a temporary folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/narrow.h"
#include "port/port_discovery.h"
#include "port/port_discovery_linux.h"

namespace merel {
namespace {

namespace fs = std::filesystem;

class PortDiscoverySysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "merel-sysfs-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        sys_ = root_ / "sys";
        udev_ = root_ / "udev";
        fs::create_directories(sys_ / "class" / "tty");
        fs::create_directories(udev_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    static void Write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

    // A tty class entry; with a device folder (below sys/devices) when `device` is given.
    fs::path AddTty(const std::string& name, const std::optional<std::string>& device = {},
                    const std::string& dev = "4:64") {
        const fs::path dir = sys_ / "class" / "tty" / name;
        fs::create_directories(dir);
        Write(dir / "dev", dev + "\n");
        if (device) {
            fs::create_directories(sys_ / "devices" / *device);
            fs::create_directory_symlink(fs::path("../../../devices") / *device, dir / "device");
        }
        return dir;
    }

    void AddUsbDevice(const std::string& path, const std::string& manufacturer,
                      const std::string& product) {
        const fs::path dir = sys_ / "devices" / path;
        Write(dir / "idVendor", "0403\n");
        if (!manufacturer.empty()) Write(dir / "manufacturer", manufacturer + "\n");
        if (!product.empty()) Write(dir / "product", product + "\n");
    }

    std::optional<std::vector<std::optional<std::u16string>>> Enumerate() {
        return SysfsPortEnumerator(sys_, udev_).Enumerate();
    }

    static std::vector<std::optional<std::u16string>> Named(
        std::initializer_list<const char*> names) {
        std::vector<std::optional<std::u16string>> out;
        for (const char* n : names) out.emplace_back(Utf8ToUtf16(n));
        return out;
    }

    fs::path root_, sys_, udev_;
};

TEST_F(PortDiscoverySysfs, ListsRealDevicesInNaturalOrderWithTheirProducts) {
    // Virtual terminals and the console have no device behind them.
    AddTty("console");
    AddTty("tty0");
    AddTty("ptmx");
    Write(AddTty("ttyS0", "pnp0/00:01") / "type", "4\n");
    // A legacy port slot without a UART.
    Write(AddTty("ttyS1", "platform/serial8250") / "type", "0\n");
    Write(AddTty("ttyS2", "platform/serial8250:0.2") / "type", "4\n");
    Write(AddTty("ttyS10", "pci0000:00/0000:00:16.3") / "type", "4\n");

    // USB adapter known only by its own strings.
    AddTty("ttyUSB0", "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0", "188:0");
    AddUsbDevice("pci0000:00/0000:00:14.0/usb1/1-2", "FTDI", "FT232R USB UART");

    // USB modem that the udev database names: the database wins.
    AddTty("ttyUSB1", "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB1", "188:1");
    AddUsbDevice("pci0000:00/0000:00:14.0/usb1/1-3", "HUAWEI", "HUAWEI Mobile");
    Write(udev_ / "c188:1",
          "S:serial/by-id/usb-HUAWEI_Mobile-if00-port0\n"
          "E:ID_VENDOR=HUAWEI\n"
          "E:ID_VENDOR_FROM_DATABASE=Huawei Technologies Co., Ltd.\n"
          "E:ID_MODEL=HUAWEI_Mobile\n"
          "E:ID_MODEL_FROM_DATABASE=E220 HSDPA Modem / E270 HSDPA/HSUPA Modem\n");

    // Only udev's encoded and plain values.
    AddTty("ttyACM0", "pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.2/tty/ttyACM0", "166:0");
    Write(udev_ / "c166:0",
          "E:ID_VENDOR=Sierra_Wireless\n"
          "E:ID_MODEL_ENC=MC7304\\x20LTE\\x20\\x20\n"
          "E:ID_MODEL=MC7304_LTE\n");

    // The manufacturer already heads the product.
    AddTty("ttyUSB2", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/ttyUSB2", "188:2");
    AddUsbDevice("pci0000:00/0000:00:14.0/usb2/2-1", "Prolific Technology Inc.",
                 "Prolific Technology Inc. USB-Serial Controller");

    // Partial USB strings, and a database entry without a vendor or model, fall back in turn.
    AddTty("ttyUSB3", "usb1/1-5/1-5:1.0/ttyUSB3", "188:3");
    AddUsbDevice("usb1/1-5", "", "USB Modem");
    Write(udev_ / "c188:3", "E:ID_BUS=usb\nE:ID_SERIAL=0001\n");
    AddTty("ttyUSB4", "usb1/1-6/1-6:1.0/ttyUSB4", "188:4");
    AddUsbDevice("usb1/1-6", "", "");

    EXPECT_EQ(Enumerate(), Named({
                               "Sierra Wireless MC7304 LTE (/dev/ttyACM0)",
                               "Serial Port (/dev/ttyS0)",
                               "Serial Port (/dev/ttyS2)",
                               "Serial Port (/dev/ttyS10)",
                               "FTDI FT232R USB UART (/dev/ttyUSB0)",
                               "Huawei Technologies Co., Ltd. E220 HSDPA Modem / E270 "
                               "HSDPA/HSUPA Modem (/dev/ttyUSB1)",
                               "Prolific Technology Inc. USB-Serial Controller (/dev/ttyUSB2)",
                               "USB Modem (/dev/ttyUSB3)",
                               "Serial Port (/dev/ttyUSB4)",
                           }));
}

TEST_F(PortDiscoverySysfs, HostWithoutPortsGivesAnEmptyListAndAnUnreadableClassNone) {
    AddTty("tty0");
    EXPECT_EQ(Enumerate(), Named({}));
    // No list at all is what makes the caller fall back to COM1 to COM9.
    fs::remove_all(sys_ / "class" / "tty");
    EXPECT_EQ(Enumerate(), std::nullopt);
    Write(sys_ / "class" / "tty", "not a folder");
    EXPECT_EQ(Enumerate(), std::nullopt);
}

TEST(PortDiscoveryLinux, ThisHostGivesAWellFormedList) {
    ASSERT_TRUE(SystemPortEnumerator().Enumerate().has_value()) << "/sys/class/tty unreadable";
    std::uint32_t count = 0;
    std::vector<std::u16string> names;
    EXPECT_EQ(DiscoverPorts(SystemPortEnumerator(), count, names), kS_OK);
    EXPECT_EQ(count, names.size());
    for (const auto& name : names) {
        const std::string text = Utf16ToUtf8(name);
        SCOPED_TRACE(text);
        EXPECT_NE(text.find(" (/dev/tty"), std::string::npos);
        EXPECT_EQ(text.back(), ')');
    }
}

}  // namespace
}  // namespace merel
