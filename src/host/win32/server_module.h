// CMerelSMSManagerModule: the server process. Constructed before the entry runs, it
// initialises COM for the main thread; the entry then registers, unregisters or runs it.
#pragma once

#include "host/lifetime/lifetime.h"
#include "host/win32/class_factory.h"
#include "host/win32/com_headers.h"
#include "host/win32/type_info_holder.h"

namespace merel::host {

class CMerelSMSManagerModule {
  public:
    CMerelSMSManagerModule();
    ~CMerelSMSManagerModule();
    CMerelSMSManagerModule(const CMerelSMSManagerModule&) = delete;
    CMerelSMSManagerModule& operator=(const CMerelSMSManagerModule&) = delete;

    bool InitFailed() const { return initFailed_; }

    // Acts on the command line and gives the process exit code.
    HRESULT WinMain(std::u16string_view commandLine);

    HRESULT RegisterServer();
    HRESULT UnregisterServer();
    // Serves clients until the monitor ends the message loop.
    HRESULT Run();

  private:
    // Runs the message loop until the monitor has ended it with no lock held.
    void ServeUntilIdle();
    // Ends the server: the object goes, and the type information, while COM is still up.
    void Term();

    const DWORD mainThreadId_;
    Lifetime lifetime_;
    TypeInfoHolder typeInfo_;
    CSMSMgrClassFactory classFactory_;
    bool comInitialized_ = false;
    bool initFailed_ = false;
};

}  // namespace merel::host
