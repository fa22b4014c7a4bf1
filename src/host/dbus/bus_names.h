// Where the manager lives on the bus: the well-known name (also the service's activation
// name), the one object and its interface.
#pragma once

namespace merel::dbus {

inline constexpr const char* kBusName = "MerelSMSManager.SMSMgr";
inline constexpr const char* kObjectPath = "/SMSMgr";
inline constexpr const char* kInterface = "MerelSMSManagerLib.ISMSMgr";

// Every failure of a method is an error whose name starts with this prefix.
inline constexpr const char* kErrorPrefix = "MerelSMSManager.Error.";

}  // namespace merel::dbus
