// What service mode adds to the registration, in the parts that need no Windows: the names, the
// COM permissions as security-descriptor text, and the AppID values that make COM start the
// service for every client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/hresult.h"
#include "host/win32/registrar.h"

namespace merel::host {

// The service's name, which the AppID's LocalService names too.
inline constexpr std::u16string_view kServiceName = u"MerelSMSManager";
// The local group whose members may start and use the service, besides Administrators and
// SYSTEM.
inline constexpr std::u16string_view kSendersGroup = u"MerelSMS Senders";
// The switch that asks /RegServer for service mode, and that the service control manager
// passes when it starts the server as the service.
inline constexpr std::u16string_view kServiceSwitch = u"Service";

enum class ComPermission {
    kLaunch,  // LaunchPermission: start the server and make its object
    kAccess,  // AccessPermission: call the object
};

// The security descriptor of a permission as SDDL: owned by Administrators, allowing local
// use to Administrators, SYSTEM and the senders' group (its SID in string form; left out when
// empty). Remote launch and access are granted to nobody.
std::u16string ComPermissionSddl(ComPermission permission, std::u16string_view sendersGroupSid);

// The command line the service control manager starts: the executable, quoted, and the switch.
std::u16string ServiceCommandLine(std::u16string_view module);

// Writes LocalService, LaunchPermission and AccessPermission (self-relative security
// descriptors) under the server's AppID; stops at the first failing call with its error.
HRESULT RegisterServiceAppId(RegistryWriter& registry, const std::vector<std::uint8_t>& launch,
                             const std::vector<std::uint8_t>& access);
// Removes those three values; values or a key already gone are no failure.
HRESULT UnregisterServiceAppId(RegistryWriter& registry);

}  // namespace merel::host
