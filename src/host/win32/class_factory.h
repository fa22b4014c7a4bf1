// The class object of SMSMgr: a singleton factory. The first request makes the one object;
// every request, from any client, gets that same object.
#pragma once

#include "host/lifetime/lifetime.h"
#include "host/win32/com_headers.h"
#include "host/win32/create_once.h"
#include "host/win32/sms_mgr_object.h"
#include "host/win32/type_info_holder.h"

namespace merel::host {

class CSMSMgrClassFactory final : public IClassFactory {
  public:
    CSMSMgrClassFactory(Lifetime& lifetime, TypeInfoHolder& typeInfo)
        : lifetime_(lifetime), typeInfo_(typeInfo) {}
    CSMSMgrClassFactory(const CSMSMgrClassFactory&) = delete;
    CSMSMgrClassFactory& operator=(const CSMSMgrClassFactory&) = delete;

    // IUnknown. The factory lives as long as the server module; its count only serves COM.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    // Gives up the factory's own reference to the object, which destroys it (closing its
    // port) once no client holds one. Called when the server ends; requests after it are
    // refused with CO_E_SERVER_STOPPING.
    void ReleaseObject();
    // Cuts every client off the object, so that their references no longer keep it (and its
    // port) alive. For a stop that does not wait for the clients.
    void DisconnectClients();

  private:
    Lifetime& lifetime_;
    TypeInfoHolder& typeInfo_;
    CreateOnce<CSMSMgrObject> object_;
    bool released_ = false;
};

}  // namespace merel::host
