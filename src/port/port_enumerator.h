// The present port devices of the host with their friendly names.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace merel {

class PortEnumerator {
  public:
    virtual ~PortEnumerator() = default;
    // One entry per device in enumeration order; an entry without a value is a device whose
    // name could not be read. No value at all: the device query itself failed.
    virtual std::optional<std::vector<std::optional<std::u16string>>> Enumerate() = 0;
};

PortEnumerator& SystemPortEnumerator();

}  // namespace merel
