#include "port/port_discovery.h"

namespace merel {

HRESULT DiscoverPorts(PortEnumerator& enumerator, std::uint32_t& count,
                      std::vector<std::u16string>& names) {
    count = 0;
    names.clear();
    if (auto devices = enumerator.Enumerate()) {
        for (auto& device : *devices) {
            // A device whose name cannot be read is left out, not counted.
            if (device) names.push_back(std::move(*device));
        }
    } else {
        // The device query failed: offer the usual first nine port names instead.
        for (int n = 1; n <= 9; ++n)
            names.push_back(u"COM" + std::u16string(1, static_cast<char16_t>(u'0' + n)));
    }
    count = static_cast<std::uint32_t>(names.size());
    return kS_OK;
}

}  // namespace merel
