// IDispatch for ISMSMgr2 (and so for ISMSMgr, which it extends), served from the type
// information of the type library.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "host/win32/com_headers.h"

namespace merel::host {

class TypeInfoHolder {
  public:
    TypeInfoHolder() = default;
    ~TypeInfoHolder() { Clear(); }
    TypeInfoHolder(const TypeInfoHolder&) = delete;
    TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

    HRESULT GetTypeInfo(ITypeInfo** info);
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids);
    // Script clients pass every variable as VT_BYREF | VT_VARIANT. The standard dispatch only
    // takes the declared types, so such arguments are converted for the call and, for out
    // parameters, the results are written back into the caller's variants.
    HRESULT Invoke(ISMSMgr2* object, DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* exception, UINT* argumentError);

    // Drops the type information; it must go before COM is uninitialised.
    void Clear();

  private:
    struct Parameter {
        VARTYPE type = VT_EMPTY;  // for an out parameter, the type pointed to
        bool in = false;
        bool out = false;
    };

    HRESULT Load();
    HRESULT ReadParameters(ITypeInfo& interfaceInfo);

    std::mutex mutex_;
    ITypeInfo* dispatchInfo_ = nullptr;
    ITypeInfo* interfaceInfo_ = nullptr;
    std::map<DISPID, std::vector<Parameter>> parameters_;  // without the retval parameter
};

}  // namespace merel::host
