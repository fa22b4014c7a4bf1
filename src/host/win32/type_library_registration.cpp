#include "host/win32/type_library_registration.h"

#include <cwchar>
#include <string>
#include <vector>

#include "base/narrow.h"
#include "host/win32/registry_writer_win32.h"

// RegisterTypeLib records the library only for the calling process's platform
// (TypeLib\{LIBID}\1.0\<lcid>\win64 from the 64-bit server) and the marshaling keys of its
// interfaces only in that process's registry view, while a client's oleaut32 looks under its own
// platform and its own view. A client of the other bitness then finds no way to marshal ISMSMgr
// and only IDispatch works. So the server mirrors both for the other bitness, naming the same
// file: a type library inside an executable is read as data, whatever the reader's bitness.

namespace merel::host {
namespace {

constexpr bool kIs64Bit = sizeof(void*) == 8;
constexpr REGSAM kOwnView = kIs64Bit ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
constexpr REGSAM kOtherView = kIs64Bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

const wchar_t* PlatformName(SYSKIND platform) {
    return platform == SYS_WIN64 ? L"win64" : L"win32";
}

SYSKIND OtherPlatform(SYSKIND platform) {
    return platform == SYS_WIN64 ? SYS_WIN32 : SYS_WIN64;
}

// TypeLib\{LIBID}\<major>.<minor>\<lcid>\<platform>
std::wstring TypeLibKey(const TLIBATTR& library, LCID locale, SYSKIND platform) {
    wchar_t version[32] = {};
    swprintf(version, 32, L"%x.%x\\%lx\\", library.wMajorVerNum, library.wMinorVerNum,
             static_cast<unsigned long>(locale));
    return L"TypeLib\\" + GuidText(library.guid) + L"\\" + version + PlatformName(platform);
}

bool ReadDefault(const std::wstring& key, std::wstring& value) {
    wchar_t data[MAX_PATH * 2] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, data,
                     &size) != ERROR_SUCCESS) {
        return false;
    }
    value = data;
    return true;
}

// Deletes `key` and, going up, each parent that it leaves empty, but not `stop` or above.
void DeleteUpTo(std::wstring key, const std::wstring& stop) {
    while (key.size() > stop.size() &&
           RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str()) == ERROR_SUCCESS)
        key.resize(key.rfind(L'\\'));
}

// The locales the library is recorded under: its own, and locale 0, which Wine's marshaler
// alone looks up; both name the same file.
std::vector<LCID> Locales(const TLIBATTR& library) {
    std::vector<LCID> locales{library.lcid};
    if (library.lcid != 0) locales.push_back(0);
    return locales;
}

// The interfaces of the library, those that RegisterTypeLib gives marshaling keys.
std::vector<std::wstring> InterfaceKeys(ITypeLib& library) {
    std::vector<std::wstring> keys;
    const UINT count = library.GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        TYPEKIND kind{};
        ITypeInfo* info = nullptr;
        if (FAILED(library.GetTypeInfoType(i, &kind)) ||
            (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH) ||
            FAILED(library.GetTypeInfo(i, &info))) {
            continue;
        }
        TYPEATTR* attributes = nullptr;
        if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
            std::wstring key = L"Interface\\" + GuidText(attributes->guid);
            bool seen = false;
            for (const auto& k : keys) seen = seen || k == key;
            if (!seen) keys.push_back(std::move(key));
            info->ReleaseTypeAttr(attributes);
        }
        info->Release();
    }
    return keys;
}

// Copies Interface\{IID} with everything below it from this process's view to the other one.
LSTATUS MirrorInterfaceKey(const std::wstring& key) {
    HKEY source = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | kOwnView, &source);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;  // not one RegisterTypeLib keeps
    if (status != ERROR_SUCCESS) return status;
    HKEY target = nullptr;
    status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS | kOtherView, nullptr, &target, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegCopyTreeW(source, nullptr, target);
        RegCloseKey(target);
    }
    RegCloseKey(source);
    return status;
}

LSTATUS MirrorForOtherBitness(ITypeLib& library, const TLIBATTR& attributes) {
    Win32RegistryWriter registry;
    std::wstring path;
    if (!ReadDefault(TypeLibKey(attributes, attributes.lcid, attributes.syskind), path))
        return ERROR_FILE_NOT_FOUND;
    for (LCID locale : Locales(attributes)) {
        for (SYSKIND platform : {attributes.syskind, OtherPlatform(attributes.syskind)}) {
            const std::wstring key = TypeLibKey(attributes, locale, platform);
            LSTATUS status = registry.CreateKey(AsUtf16(key.c_str()));
            if (status == ERROR_SUCCESS)
                status = registry.SetString(AsUtf16(key.c_str()), u"", AsUtf16(path.c_str()));
            if (status != ERROR_SUCCESS) return status;
        }
    }
    for (const auto& key : InterfaceKeys(library)) {
        const LSTATUS status = MirrorInterfaceKey(key);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

// Removes what the mirroring added and the locale-0 entry; RegisterTypeLib's own entries are
// left to UnRegisterTypeLib, which removes the library's key once nothing else is below it.
void RemoveMirror(const TLIBATTR& attributes) {
    const std::wstring library = L"TypeLib\\" + GuidText(attributes.guid);
    for (LCID locale : Locales(attributes)) {
        const SYSKIND other = OtherPlatform(attributes.syskind);
        DeleteUpTo(TypeLibKey(attributes, locale, other), library);
        if (locale != attributes.lcid)
            DeleteUpTo(TypeLibKey(attributes, locale, attributes.syskind), library);
    }
}

// Removes the interface keys from the other view (UnRegisterTypeLib clears this one's).
void RemoveMirroredInterfaces(const std::vector<std::wstring>& keys) {
    for (const auto& key : keys) {
        HKEY interfaces = nullptr;
        if (RegOpenKeyExW(
                HKEY_CLASSES_ROOT, L"Interface", 0,
                DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | kOtherView,
                &interfaces) != ERROR_SUCCESS) {
            continue;
        }
        RegDeleteTreeW(interfaces, key.substr(key.find(L'\\') + 1).c_str());
        RegCloseKey(interfaces);
    }
}

// The type library that the executable carries as its resource TYPELIB 1, loaded for
// registration (or without it) and handed to `use` with its attributes.
template <class Use>
HRESULT WithOwnTypeLibrary(REGKIND kind, Use&& use) {
    const std::u16string module = ModulePath();
    if (module.empty()) return HRESULT_FROM_WIN32(GetLastError());
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(AsWide(module.c_str()), kind, &library);
    if (FAILED(hr)) return hr;
    TLIBATTR* attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (SUCCEEDED(hr)) {
        hr = use(*library, *attributes);
        library->ReleaseTLibAttr(attributes);
    }
    library->Release();
    return hr;
}

}  // namespace

HRESULT RegisterTypeLibrary() {
    return WithOwnTypeLibrary(REGKIND_REGISTER, [](ITypeLib& library, const TLIBATTR& attributes) {
        const LSTATUS status = MirrorForOtherBitness(library, attributes);
        return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
    });
}

HRESULT UnregisterTypeLibrary() {
    return WithOwnTypeLibrary(REGKIND_NONE, [](ITypeLib& library, const TLIBATTR& attributes) {
        RemoveMirror(attributes);
        const std::vector<std::wstring> interfaces = InterfaceKeys(library);
        const HRESULT hr =
            UnRegisterTypeLib(attributes.guid, attributes.wMajorVerNum, attributes.wMinorVerNum,
                              attributes.lcid, attributes.syskind);
        RemoveMirroredInterfaces(interfaces);
        return hr;
    });
}

}  // namespace merel::host
