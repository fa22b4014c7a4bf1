// The object that clients reach: ISMSMgr2 (dual), which extends ISMSMgr, over the one CSMSMgr.
// Clients that ask for ISMSMgr get the same table of methods, whose first part is ISMSMgr's.
// Strings, arrays and variants are converted here, at the automation boundary; the manager
// knows none of them.
#pragma once

#include <optional>
#include <string_view>

#include "host/lifetime/lifetime.h"
#include "host/win32/cached_ref_count.h"
#include "host/win32/com_headers.h"
#include "host/win32/type_info_holder.h"
#include "manager/sms_mgr.h"

namespace merel::host {

class CSMSMgrObject final : public ISMSMgr2, public ISupportErrorInfo {
  public:
    CSMSMgrObject(Lifetime& lifetime, TypeInfoHolder& typeInfo);
    CSMSMgrObject(const CSMSMgrObject&) = delete;
    CSMSMgrObject& operator=(const CSMSMgrObject&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID locale, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

    // ISupportErrorInfo: every failing method of either interface sets a text that says what
    // failed.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    // ISMSMgr
    HRESULT STDMETHODCALLTYPE SendTextMessage(BSTR u_bstrPhoneNr, BSTR u_bstrMessage,
                                              int u_inFlags) override;
    HRESULT STDMETHODCALLTYPE SetSettings(BSTR u_bstrPort, LONG u_loBaudrate, SHORT u_shDataBits,
                                          SHORT u_shParity, SHORT u_shStopBits, SHORT u_shHandshake,
                                          SHORT u_shReadTimeout, SHORT u_shCharacterSet) override;
    HRESULT STDMETHODCALLTYPE GetSettings(BSTR* u_bstrPort, LONG* u_loBaudrate, SHORT* u_shDataBits,
                                          SHORT* u_shParity, SHORT* u_shStopBits,
                                          SHORT* u_shHandshake, SHORT* u_shReadTimeout,
                                          SHORT* u_shCharacterSet) override;
    HRESULT STDMETHODCALLTYPE SendPDUMessage(BSTR u_bstrPhoneNr, BSTR u_bstrMessage) override;
    HRESULT STDMETHODCALLTYPE GetSMSManagerStatus(char* u_boIsINIFileLoad, char* u_boIsLOGFileOpen,
                                                  char* u_boIsPortOpen,
                                                  char* u_boIsPortInit) override;
    HRESULT STDMETHODCALLTYPE SendMessage(BSTR u_bstrPhoneNr, BSTR u_bstrMessage) override;
    HRESULT STDMETHODCALLTYPE GetDetectedCOMPortsOnHost(UINT* u_uiNrOfPorts,
                                                        VARIANT* pVal) override;
    HRESULT STDMETHODCALLTYPE TestPort() override;
    HRESULT STDMETHODCALLTYPE Init() override;

    // ISMSMgr2
    HRESULT STDMETHODCALLTYPE SendConfirmed(BSTR u_bstrPhoneNr, BSTR u_bstrMessage, SHORT u_shMode,
                                            LONG* u_loReference) override;
    HRESULT STDMETHODCALLTYPE CheckModem(UINT* u_uiNrOfLines, VARIANT* pVal) override;

  private:
    ~CSMSMgrObject() = default;  // Release alone destroys

    // Sets the error information for a failed call of `method` of interface `iid` (the text
    // says what failed, as the manager recorded it) or clears it after success. Returns `hr`.
    HRESULT Reported(const char* method, HRESULT hr, REFIID iid = IID_ISMSMgr);

    // Runs `call`, a call of `method` (to `number` for a send), and writes its record to the
    // Event Log: the result, the text the client got, the time it took and who called.
    // Returns the call's result.
    template <class Call>
    HRESULT Recorded(const char* method, std::optional<std::u16string_view> number, Call call);
    // Returns `hr` for a call refused before it reached the manager.
    HRESULT Unreached(HRESULT hr) {
        unreached_ = true;
        return hr;
    }

    CachedRefCount refs_;
    TypeInfoHolder& typeInfo_;
    CSMSMgr manager_;
    // Whether the call being recorded was refused before it reached the manager.
    bool unreached_ = false;
};

}  // namespace merel::host
