// The names that servers and clients agree on: the class's ProgID, which is also the service's
// well-known bus name, the one object and its two interfaces, and the prefix of every error name.
#pragma once

namespace merel::wire {

// COM clients create the object by this ProgID; D-Bus clients call the service of this name.
inline constexpr const char* kProgId = "MerelSMSManager.SMSMgr";
inline constexpr const char* kBusName = kProgId;
inline constexpr const char* kObjectPath = "/SMSMgr";
inline constexpr const char* kInterface = "MerelSMSManagerLib.ISMSMgr";
// The second interface: the calls that report what the modem said.
inline constexpr const char* kInterface2 = "MerelSMSManagerLib.ISMSMgr2";

// Every failure of a method is an error whose name starts with this prefix.
inline constexpr const char* kErrorPrefix = "MerelSMSManager.Error.";

}  // namespace merel::wire
