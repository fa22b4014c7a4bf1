// The port devices of a Linux host, found in sysfs: every tty with a real device behind it,
// named after its product where the udev database or the USB device tells it, and always
// ending with the device path in brackets, e.g. "USB Modem (/dev/ttyUSB0)".
#pragma once

#include <filesystem>

#include "port/port_enumerator.h"

namespace merel {

class SysfsPortEnumerator : public PortEnumerator {
  public:
    // The roots are parameters so that the lookup can be tried on a tree of plain files.
    explicit SysfsPortEnumerator(std::filesystem::path sysRoot = "/sys",
                                 std::filesystem::path udevDataDir = "/run/udev/data");
    std::optional<std::vector<std::optional<std::u16string>>> Enumerate() override;

  private:
    std::filesystem::path sysRoot_;
    std::filesystem::path udevDataDir_;
};

}  // namespace merel
