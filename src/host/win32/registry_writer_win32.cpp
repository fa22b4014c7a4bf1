#include "host/win32/registry_writer_win32.h"

#include "host/win32/com_headers.h"

namespace merel::host {
namespace {

// The root that `path` names and the path below it.
struct Rooted {
    HKEY root;
    std::u16string path;
};
Rooted Split(const std::u16string& path) {
    if (path.starts_with(kLocalMachine)) {
        return {HKEY_LOCAL_MACHINE, path.substr(kLocalMachine.size())};
    }
    return {HKEY_CLASSES_ROOT, path};
}

// An open key, closed when it goes out of scope.
class Key {
  public:
    ~Key() {
        if (handle_ != nullptr) RegCloseKey(handle_);
    }
    LONG Open(const std::u16string& path, REGSAM access) {
        const Rooted key = Split(path);
        return RegOpenKeyExW(key.root, AsWide(key.path.c_str()), 0, access, &handle_);
    }
    HKEY get() const { return handle_; }

  private:
    HKEY handle_ = nullptr;
};

}  // namespace

std::int32_t Win32RegistryWriter::CreateKey(const std::u16string& path) {
    HKEY key = nullptr;
    const Rooted rooted = Split(path);
    const LONG e =
        RegCreateKeyExW(rooted.root, AsWide(rooted.path.c_str()), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    if (e == ERROR_SUCCESS) RegCloseKey(key);
    return e;
}

std::int32_t Win32RegistryWriter::SetString(const std::u16string& path, const std::u16string& name,
                                            const std::u16string& data) {
    Key key;
    if (const LONG e = key.Open(path, KEY_SET_VALUE)) return e;
    const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(char16_t));
    return RegSetValueExW(key.get(), name.empty() ? nullptr : AsWide(name.c_str()), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()), bytes);
}

std::int32_t Win32RegistryWriter::SetDword(const std::u16string& path, const std::u16string& name,
                                           std::uint32_t data) {
    Key key;
    if (const LONG e = key.Open(path, KEY_SET_VALUE)) return e;
    const DWORD value = data;
    return RegSetValueExW(key.get(), name.empty() ? nullptr : AsWide(name.c_str()), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof value);
}

std::int32_t Win32RegistryWriter::SetBinary(const std::u16string& path, const std::u16string& name,
                                            const std::vector<std::uint8_t>& data) {
    Key key;
    if (const LONG e = key.Open(path, KEY_SET_VALUE)) return e;
    return RegSetValueExW(key.get(), name.empty() ? nullptr : AsWide(name.c_str()), 0, REG_BINARY,
                          data.data(), static_cast<DWORD>(data.size()));
}

std::int32_t Win32RegistryWriter::DeleteValue(const std::u16string& path,
                                              const std::u16string& name) {
    Key key;
    if (const LONG e = key.Open(path, KEY_SET_VALUE)) return e;
    return RegDeleteValueW(key.get(), name.empty() ? nullptr : AsWide(name.c_str()));
}

std::int32_t Win32RegistryWriter::DeleteTree(const std::u16string& path) {
    const Rooted rooted = Split(path);
    return RegDeleteTreeW(rooted.root, AsWide(rooted.path.c_str()));
}

bool Win32RegistryWriter::KeyExists(const std::u16string& path) {
    Key key;
    return key.Open(path, KEY_READ) == ERROR_SUCCESS;
}

bool Win32RegistryWriter::HasSubKeys(const std::u16string& path) {
    Key key;
    if (key.Open(path, KEY_READ) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return subkeys > 0;
}

}  // namespace merel::host
