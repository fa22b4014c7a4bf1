#include "host/win32/service_config.h"

#include "host/win32/server_ids.h"

namespace merel::host {
namespace {

// COM_RIGHTS_EXECUTE | COM_RIGHTS_EXECUTE_LOCAL, and COM_RIGHTS_ACTIVATE_LOCAL for launching.
constexpr std::u16string_view kLocalAccessRights = u"0x3";
constexpr std::u16string_view kLocalLaunchRights = u"0xb";

constexpr std::u16string_view kLocalService = u"LocalService";
constexpr std::u16string_view kLaunchPermission = u"LaunchPermission";
constexpr std::u16string_view kAccessPermission = u"AccessPermission";

std::u16string AppIdKey() {
    return std::u16string(u"AppID\\") + kAppId;
}

std::u16string Allow(std::u16string_view rights, std::u16string_view trustee) {
    std::u16string ace = u"(A;;";
    ace.append(rights).append(u";;;").append(trustee).append(u")");
    return ace;
}

}  // namespace

std::u16string ComPermissionSddl(ComPermission permission, std::u16string_view sendersGroupSid) {
    const std::u16string_view rights =
        permission == ComPermission::kLaunch ? kLocalLaunchRights : kLocalAccessRights;
    // COM wants an owner and a group in these descriptors.
    std::u16string sddl = u"O:BAG:BAD:";
    sddl += Allow(rights, u"BA");
    sddl += Allow(rights, u"SY");
    if (!sendersGroupSid.empty()) sddl += Allow(rights, sendersGroupSid);
    return sddl;
}

std::u16string ServiceCommandLine(std::u16string_view module) {
    std::u16string line = u"\"";
    line.append(module).append(u"\" -").append(kServiceSwitch);
    return line;
}

HRESULT RegisterServiceAppId(RegistryWriter& registry, const std::vector<std::uint8_t>& launch,
                             const std::vector<std::uint8_t>& access) {
    const std::u16string key = AppIdKey();
    if (const auto e = registry.CreateKey(key)) return FoldError(e);
    if (const auto e =
            registry.SetString(key, std::u16string(kLocalService), std::u16string(kServiceName))) {
        return FoldError(e);
    }
    if (const auto e = registry.SetBinary(key, std::u16string(kLaunchPermission), launch)) {
        return FoldError(e);
    }
    return FoldError(registry.SetBinary(key, std::u16string(kAccessPermission), access));
}

HRESULT UnregisterServiceAppId(RegistryWriter& registry) {
    const std::u16string key = AppIdKey();
    if (!registry.KeyExists(key)) return kS_OK;
    for (std::u16string_view name : {kLocalService, kLaunchPermission, kAccessPermission}) {
        const auto e = registry.DeleteValue(key, std::u16string(name));
        if (e != 0 && e != win32::kFileNotFound) return FoldError(e);
    }
    return kS_OK;
}

}  // namespace merel::host
