// The present devices of the Ports setup class with their friendly names, from SetupAPI.
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

#include "port/port_enumerator.h"

namespace merel {

namespace {

class SetupApiPortEnumerator : public PortEnumerator {
  public:
    std::optional<std::vector<std::optional<std::u16string>>> Enumerate() override {
        const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_PROFILE);
        if (set == INVALID_HANDLE_VALUE) return std::nullopt;
        // The set is destroyed on every way out, an allocation failure included.
        struct SetGuard {
            HDEVINFO set;
            ~SetGuard() { SetupDiDestroyDeviceInfoList(set); }
        } guard{set};

        std::vector<std::optional<std::u16string>> devices;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        // The enumeration ends at the first index it refuses, whatever the reason.
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
            wchar_t description[260] = {};
            wchar_t friendlyName[260] = {};
            if (!SetupDiGetClassDescriptionW(&device.ClassGuid, description, 260, nullptr) ||
                !SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                   reinterpret_cast<PBYTE>(friendlyName),
                                                   sizeof friendlyName, nullptr)) {
                devices.emplace_back(std::nullopt);
                continue;
            }
            // A stored name need not end with a NUL when it fills the whole buffer.
            std::size_t length = 0;
            while (length < 260 && friendlyName[length] != L'\0') ++length;
            devices.emplace_back(
                std::u16string(reinterpret_cast<const char16_t*>(friendlyName), length));
        }
        return devices;
    }
};

}  // namespace

PortEnumerator& SystemPortEnumerator() {
    static SetupApiPortEnumerator enumerator;
    return enumerator;
}

}  // namespace merel
