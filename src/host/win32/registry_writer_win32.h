// The registrar's registry calls on the real registry, under HKEY_CLASSES_ROOT and
// HKEY_LOCAL_MACHINE.
#pragma once

#include "host/win32/registrar.h"

namespace merel::host {

class Win32RegistryWriter : public RegistryWriter {
  public:
    std::int32_t CreateKey(const std::u16string& path) override;
    std::int32_t SetString(const std::u16string& path, const std::u16string& name,
                           const std::u16string& data) override;
    std::int32_t SetDword(const std::u16string& path, const std::u16string& name,
                          std::uint32_t data) override;
    std::int32_t SetBinary(const std::u16string& path, const std::u16string& name,
                           const std::vector<std::uint8_t>& data) override;
    std::int32_t DeleteValue(const std::u16string& path, const std::u16string& name) override;
    std::int32_t DeleteTree(const std::u16string& path) override;
    bool KeyExists(const std::u16string& path) override;
    bool HasSubKeys(const std::u16string& path) override;
};

}  // namespace merel::host
