// MerelSMSManager.exe: the local automation server of SMSMgr.
#include "host/win32/server_module.h"

namespace {
// Constructed before the entry runs, so that COM is ready for the main thread.
merel::host::CMerelSMSManagerModule g_module;
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (g_module.InitFailed()) return -1;
    return static_cast<int>(g_module.WinMain(merel::host::AsUtf16(GetCommandLineW())));
}
