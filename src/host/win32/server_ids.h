// The fixed identifiers of the server, in the braced form that the registry holds. The class,
// library and interface identifiers must match MerelSMSManager.idl and SMSMgr.rgs; the
// application identifier appears only here and reaches the registry through %APPID%.
#pragma once

namespace merel::host {

inline constexpr const char16_t* kAppId = u"{89B97F06-290F-4029-8822-CD65413BA030}";
inline constexpr const char16_t* kClsidSMSMgr = u"{F5D6AC1D-63B5-4CB9-B4AE-1CFEF1B9947C}";
inline constexpr const char16_t* kLibidMerelSMSManagerLib =
    u"{14D2105C-11DE-4A29-A68E-22164872220D}";
inline constexpr const char16_t* kIidISMSMgr = u"{D1CB36DD-F45B-40A9-8BE8-FBCE63E7830D}";
inline constexpr const char16_t* kIidISMSMgr2 = u"{72CEBF0D-5B8F-4B97-932A-DEA590BC3A37}";

}  // namespace merel::host
