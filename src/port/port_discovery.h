// The host's port list: friendly names of the present port devices, or COM1 to COM9 when the
// device query fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/hresult.h"
#include "port/port_enumerator.h"

namespace merel {

HRESULT DiscoverPorts(PortEnumerator& enumerator, std::uint32_t& count,
                      std::vector<std::u16string>& names);

}  // namespace merel
