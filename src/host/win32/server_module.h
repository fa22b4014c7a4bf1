// CMerelSMSManagerModule: the server process. Constructed before the entry runs, it
// initialises COM for the main thread; the entry then registers, unregisters or runs it.
#pragma once

#include <atomic>
#include <functional>

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
    // Serves clients on the calling thread, whose apartment is set up, until the monitor ends
    // the message loop or a stop is requested. `serving` (if given) is told true once the class
    // object is registered and false once the server stops taking requests.
    HRESULT Run(const std::function<void(bool serving)>& serving = {});
    // Ends the serving loop from any thread, clients or not; their objects are disconnected.
    void RequestStop();
    // Ends the server: the object goes, and the type information, while COM is still up.
    void Term();

  private:
    // Runs the message loop until the monitor has ended it with no lock held, or a stop.
    void ServeUntilIdle();

    // The thread whose message loop serves, which the monitor's quit goes to.
    std::atomic<DWORD> servingThreadId_;
    std::atomic<bool> stopRequested_{false};
    Lifetime lifetime_;
    TypeInfoHolder typeInfo_;
    CSMSMgrClassFactory classFactory_;
    bool comInitialized_ = false;
    bool initFailed_ = false;
};

}  // namespace merel::host
