#include "interface/instance_name.h"

#include "interface/names.h"

namespace merel::wire {

bool IsInstanceName(std::string_view name) {
    if (name.empty() || name.size() > kMaxInstanceName) return false;
    if (name.front() >= '0' && name.front() <= '9') return false;
    for (const char c : name) {
        const bool fit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!fit) return false;
    }
    return true;
}

std::string InstanceBusName(std::string_view instance) {
    std::string name = kBusName;
    if (!instance.empty()) {
        name += '.';
        name += instance;
    }
    return name;
}

bool InstanceOfBusName(std::string_view busName, std::string& instance) {
    const std::string_view plain = kBusName;
    if (busName == plain) {
        instance.clear();
        return true;
    }
    if (!busName.starts_with(plain) || busName.size() <= plain.size() + 1 ||
        busName[plain.size()] != '.') {
        return false;
    }
    const std::string_view rest = busName.substr(plain.size() + 1);
    if (!IsInstanceName(rest)) return false;
    instance = std::string(rest);
    return true;
}

}  // namespace merel::wire
