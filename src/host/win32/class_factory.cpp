#include "host/win32/class_factory.h"

#include <new>

namespace merel::host {

HRESULT CSMSMgrClassFactory::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT CSMSMgrClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    // The object is gone once the server ends; COM then starts a new server for the caller.
    if (released_) return CO_E_SERVER_STOPPING;
    CSMSMgrObject* shared = nullptr;
    const HRESULT hr = object_.Get(
        [this](CSMSMgrObject*& made) {
            made = new CSMSMgrObject(lifetime_, typeInfo_);
            made->AddRef();  // the factory's own reference, kept for the life of the process
            return S_OK;
        },
        shared);
    if (FAILED(hr)) return hr;
    return shared->QueryInterface(iid, object);
}

HRESULT CSMSMgrClassFactory::LockServer(BOOL lock) {
    if (lock) {
        lifetime_.Lock();
    } else {
        lifetime_.Unlock();
    }
    return S_OK;
}

void CSMSMgrClassFactory::ReleaseObject() {
    if (released_) return;
    released_ = true;
    if (CSMSMgrObject* shared = object_.Made()) shared->Release();
}

void CSMSMgrClassFactory::DisconnectClients() {
    if (CSMSMgrObject* shared = object_.Made()) {
        CoDisconnectObject(static_cast<ISMSMgr2*>(shared), 0);
    }
}

}  // namespace merel::host
