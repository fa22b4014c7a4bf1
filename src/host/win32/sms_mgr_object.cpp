#include "host/win32/sms_mgr_object.h"

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "base/narrow.h"
#include "host/common/argument_limits.h"
#include "host/common/call_record.h"
#include "host/common/failure_text.h"
#include "host/win32/error_info.h"
#include "host/win32/event_log_win32.h"
#include "host/win32/service.h"

namespace merel::host {

namespace {

// Sets the call's error information to what failed, worded as every failed method's is.
void SetFailureInfo(const char* method, HRESULT hr, const Failure& failure, REFIID iid) {
    try {
        SetCallError(FailureText(method, hr, failure), iid);
    } catch (...) {
        ClearCallError();  // no memory for the text: the result alone goes back
    }
}

// The length of a string argument as the limits count it: COM carries UTF-16.
Measured Measure(StringArgument argument, BSTR value) {
    return {argument, SysStringLen(value)};
}

// Refuses, with its error information, a call with a string argument longer than the server
// takes. The marshaller has already allocated the BSTR, but nothing more is made of it: no
// conversion, and nothing reaches the manager to be stored. Nothing when every argument fits.
std::optional<HRESULT> RefusedOversized(const char* method,
                                        std::initializer_list<Measured> arguments,
                                        REFIID iid = IID_ISMSMgr) {
    std::optional<Failure> refused;
    try {
        refused = RefuseOversized(Units::kUtf16Units, arguments);
    } catch (...) {
        ClearCallError();  // no memory for the text: the result alone goes back
        return E_INVALIDARG;
    }
    if (!refused) return std::nullopt;
    SetFailureInfo(method, refused->hr, *refused, iid);
    return refused->hr;
}

// Fills `value` with the strings as a SAFEARRAY of BSTR (lower bound 0), as automation clients
// take a list; leaves it empty when there is no memory for them.
HRESULT StringArray(const std::vector<std::u16string>& strings, VARIANT* value) {
    VariantInit(value);
    SAFEARRAYBOUND bound{};
    bound.cElements = static_cast<ULONG>(strings.size());
    bound.lLbound = 0;
    SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
    if (array == nullptr) return E_FAIL;
    BSTR* elements = nullptr;
    if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&elements)))) {
        SafeArrayDestroy(array);
        return E_FAIL;
    }
    bool allocated = true;
    for (std::size_t k = 0; k < strings.size() && allocated; ++k) {
        elements[k] = AllocBstr(strings[k]);
        allocated = elements[k] != nullptr;
    }
    SafeArrayUnaccessData(array);
    if (!allocated) {
        SafeArrayDestroy(array);  // frees the strings made so far
        return E_FAIL;
    }
    V_VT(value) = VT_ARRAY | VT_BSTR;
    V_ARRAY(value) = array;
    return S_OK;
}

// The description of the error information this thread holds for the client, left in place;
// empty when there is none.
std::string CallErrorText() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return {};
    BSTR description = nullptr;
    info->GetDescription(&description);
    SetErrorInfo(0, info);  // GetErrorInfo took it from the thread; the client reads it next
    info->Release();
    std::string text;
    try {
        text = Utf16ToUtf8(BstrView(description));
    } catch (...) {
    }
    SysFreeString(description);
    return text;
}

}  // namespace

CSMSMgrObject::CSMSMgrObject(Lifetime& lifetime, TypeInfoHolder& typeInfo)
    : refs_(lifetime), typeInfo_(typeInfo) {
    // The service keeps its settings in one place for every user; the plain server beside
    // the executable.
    manager_.m_strSettingsFolder = ServiceSettingsFolder();
}

HRESULT CSMSMgrObject::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    // ISMSMgr2's table begins with ISMSMgr's, so one pointer serves every one of them.
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, IID_ISMSMgr) || IsEqualIID(iid, IID_ISMSMgr2)) {
        *object = static_cast<ISMSMgr2*>(this);
        AddRef();
        return S_OK;
    }
    if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
        *object = static_cast<ISupportErrorInfo*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CSMSMgrObject::AddRef() {
    return refs_.AddRef();
}

ULONG CSMSMgrObject::Release() {
    const ULONG count = refs_.Release();
    if (count == 0) delete this;
    return count;
}

HRESULT CSMSMgrObject::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT CSMSMgrObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return typeInfo_.GetTypeInfo(info);
}

HRESULT CSMSMgrObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    return typeInfo_.GetIDsOfNames(names, count, ids);
}

HRESULT CSMSMgrObject::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
    ClearCallError();
    const HRESULT hr =
        typeInfo_.Invoke(this, member, flags, params, result, exception, argumentError);
    if (SUCCEEDED(hr) || hr == DISP_E_EXCEPTION || exception == nullptr) return hr;
    // Late-bound callers read a method's failure from the exception record; when the standard
    // dispatch has passed the method's result through instead, the record is filled here from
    // the error information the method set.
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return hr;
    *exception = EXCEPINFO{};
    exception->scode = hr;
    info->GetSource(&exception->bstrSource);
    info->GetDescription(&exception->bstrDescription);
    SetErrorInfo(0, info);  // GetErrorInfo took it; vtable-style readers may still ask
    info->Release();
    return DISP_E_EXCEPTION;
}

HRESULT CSMSMgrObject::InterfaceSupportsErrorInfo(REFIID iid) {
    return IsEqualIID(iid, IID_ISMSMgr) || IsEqualIID(iid, IID_ISMSMgr2) ? S_OK : S_FALSE;
}

HRESULT CSMSMgrObject::Reported(const char* method, HRESULT hr, REFIID iid) {
    if (SUCCEEDED(hr)) {
        ClearCallError();
        return hr;
    }
    SetFailureInfo(method, hr, manager_.m_lastFailure, iid);
    return hr;
}

template <class Call>
HRESULT CSMSMgrObject::Recorded(const char* method, std::optional<std::u16string_view> number,
                                Call call) {
    const auto started = std::chrono::steady_clock::now();
    unreached_ = false;
    const HRESULT hr = call();
    try {
        const auto duration = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        const std::string error = FAILED(hr) ? CallErrorText() : std::string();
        CallRecord record = RecordOf(manager_, method, hr, error, duration, number);
        if (unreached_) record.mode.clear();  // the manager's report is of an earlier send
        const Caller caller = CallingClient();
        record.caller = caller.account;
        WriteToEventLog(record, caller);
    } catch (...) {
        // No memory for the record: the client still gets its result.
    }
    return hr;
}

// Every method ends in a catch-all: nothing may escape across the COM boundary, and an
// exception (no memory for a string) is reported as E_FAIL. Reported then sets or clears the
// error information.

HRESULT CSMSMgrObject::SendTextMessage(BSTR u_bstrPhoneNr, BSTR u_bstrMessage, int u_inFlags) {
    return Recorded("SendTextMessage", BstrView(u_bstrPhoneNr), [&]() -> HRESULT {
        if (const auto refused = RefusedOversized(
                "SendTextMessage", {Measure(StringArgument::kNumber, u_bstrPhoneNr),
                                    Measure(StringArgument::kText, u_bstrMessage)})) {
            return Unreached(*refused);
        }
        return Reported("SendTextMessage", [&]() -> HRESULT {
            try {
                return manager_.SendTextMessage(BstrView(u_bstrPhoneNr), BstrView(u_bstrMessage),
                                                u_inFlags);
            } catch (...) {
                return E_FAIL;
            }
        }());
    });
}

HRESULT CSMSMgrObject::SetSettings(BSTR u_bstrPort, LONG u_loBaudrate, SHORT u_shDataBits,
                                   SHORT u_shParity, SHORT u_shStopBits, SHORT u_shHandshake,
                                   SHORT u_shReadTimeout, SHORT u_shCharacterSet) {
    return Recorded("SetSettings", std::nullopt, [&]() -> HRESULT {
        if (const auto refused =
                RefusedOversized("SetSettings", {Measure(StringArgument::kPort, u_bstrPort)})) {
            return Unreached(*refused);
        }
        return Reported("SetSettings", [&]() -> HRESULT {
            try {
                if (auto refused = RefusedSettingsChange()) {
                    manager_.m_lastFailure = std::move(*refused);
                    return manager_.m_lastFailure.hr;
                }
                return manager_.SetSettings(BstrView(u_bstrPort), u_loBaudrate, u_shDataBits,
                                            u_shParity, u_shStopBits, u_shHandshake,
                                            u_shReadTimeout, u_shCharacterSet);
            } catch (...) {
                return E_FAIL;
            }
        }());
    });
}

HRESULT CSMSMgrObject::GetSettings(BSTR* u_bstrPort, LONG* u_loBaudrate, SHORT* u_shDataBits,
                                   SHORT* u_shParity, SHORT* u_shStopBits, SHORT* u_shHandshake,
                                   SHORT* u_shReadTimeout, SHORT* u_shCharacterSet) {
    return Reported("GetSettings", [&]() -> HRESULT {
        if (!u_bstrPort || !u_loBaudrate || !u_shDataBits || !u_shParity || !u_shStopBits ||
            !u_shHandshake || !u_shReadTimeout || !u_shCharacterSet) {
            return E_POINTER;
        }
        try {
            std::u16string port;
            std::int32_t baudrate = 0;
            std::int16_t dataBits = 0, parity = 0, stopBits = 0, handshake = 0, readTimeout = 0,
                         characterSet = 0;
            const HRESULT hr = manager_.GetSettings(port, baudrate, dataBits, parity, stopBits,
                                                    handshake, readTimeout, characterSet);
            if (FAILED(hr)) return hr;
            BSTR copy = AllocBstr(port);
            if (copy == nullptr) return E_FAIL;
            *u_bstrPort = copy;
            *u_loBaudrate = baudrate;
            *u_shDataBits = dataBits;
            *u_shParity = parity;
            *u_shStopBits = stopBits;
            *u_shHandshake = handshake;
            *u_shReadTimeout = readTimeout;
            *u_shCharacterSet = characterSet;
            return hr;
        } catch (...) {
            return E_FAIL;
        }
    }());
}

HRESULT CSMSMgrObject::SendPDUMessage(BSTR u_bstrPhoneNr, BSTR u_bstrMessage) {
    return Recorded("SendPDUMessage", BstrView(u_bstrPhoneNr), [&]() -> HRESULT {
        if (const auto refused = RefusedOversized(
                "SendPDUMessage", {Measure(StringArgument::kNumber, u_bstrPhoneNr),
                                   Measure(StringArgument::kText, u_bstrMessage)})) {
            return Unreached(*refused);
        }
        return Reported("SendPDUMessage", [&]() -> HRESULT {
            try {
                return manager_.SendPDUMessage(BstrView(u_bstrPhoneNr), BstrView(u_bstrMessage));
            } catch (...) {
                return E_FAIL;
            }
        }());
    });
}

HRESULT CSMSMgrObject::GetSMSManagerStatus(char* u_boIsINIFileLoad, char* u_boIsLOGFileOpen,
                                           char* u_boIsPortOpen, char* u_boIsPortInit) {
    return Reported("GetSMSManagerStatus", [&]() -> HRESULT {
        if (!u_boIsINIFileLoad || !u_boIsLOGFileOpen || !u_boIsPortOpen || !u_boIsPortInit) {
            return E_POINTER;
        }
        try {
            std::int8_t iniFileLoad = 0, logFileOpen = 0, portOpen = 0, portInit = 0;
            const HRESULT hr =
                manager_.GetSMSManagerStatus(iniFileLoad, logFileOpen, portOpen, portInit);
            if (FAILED(hr)) return hr;
            *u_boIsINIFileLoad = static_cast<char>(iniFileLoad);
            *u_boIsLOGFileOpen = static_cast<char>(logFileOpen);
            *u_boIsPortOpen = static_cast<char>(portOpen);
            *u_boIsPortInit = static_cast<char>(portInit);
            return hr;
        } catch (...) {
            return E_FAIL;
        }
    }());
}

HRESULT CSMSMgrObject::SendMessage(BSTR u_bstrPhoneNr, BSTR u_bstrMessage) {
    return Recorded("SendMessage", BstrView(u_bstrPhoneNr), [&]() -> HRESULT {
        if (const auto refused =
                RefusedOversized("SendMessage", {Measure(StringArgument::kNumber, u_bstrPhoneNr),
                                                 Measure(StringArgument::kText, u_bstrMessage)})) {
            return Unreached(*refused);
        }
        return Reported("SendMessage", [&]() -> HRESULT {
            try {
                return manager_.SendMessage(BstrView(u_bstrPhoneNr), BstrView(u_bstrMessage));
            } catch (...) {
                return E_FAIL;
            }
        }());
    });
}

HRESULT CSMSMgrObject::GetDetectedCOMPortsOnHost(UINT* u_uiNrOfPorts, VARIANT* pVal) {
    return Reported("GetDetectedCOMPortsOnHost", [&]() -> HRESULT {
        if (!u_uiNrOfPorts || !pVal) return E_POINTER;
        try {
            std::uint32_t count = 0;
            std::vector<std::u16string> names;
            const HRESULT hr = manager_.GetDetectedCOMPortsOnHost(count, names);
            *u_uiNrOfPorts = count;
            if (FAILED(hr)) return hr;
            return StringArray(names, pVal);
        } catch (...) {
            return E_FAIL;
        }
    }());
}

HRESULT CSMSMgrObject::TestPort() {
    return Recorded("TestPort", std::nullopt, [&]() -> HRESULT {
        return Reported("TestPort", [&]() -> HRESULT {
            try {
                return manager_.TestPort();
            } catch (...) {
                return E_FAIL;
            }
        }());
    });
}

HRESULT CSMSMgrObject::Init() {
    return Recorded("Init", std::nullopt, [&]() -> HRESULT {
        return Reported("Init", [&]() -> HRESULT {
            try {
                return manager_.Init();
            } catch (...) {
                return E_FAIL;
            }
        }());
    });
}

// What the modem said beyond the reference (its warnings, its transcript) has no place in this
// signature: COM callers get the result and the reference.
HRESULT CSMSMgrObject::SendConfirmed(BSTR u_bstrPhoneNr, BSTR u_bstrMessage, SHORT u_shMode,
                                     LONG* u_loReference) {
    return Recorded("SendConfirmed", BstrView(u_bstrPhoneNr), [&]() -> HRESULT {
        if (const auto refused = RefusedOversized("SendConfirmed",
                                                  {Measure(StringArgument::kNumber, u_bstrPhoneNr),
                                                   Measure(StringArgument::kText, u_bstrMessage)},
                                                  IID_ISMSMgr2)) {
            return Unreached(*refused);
        }
        return Reported(
            "SendConfirmed",
            [&]() -> HRESULT {
                if (!u_loReference) return E_POINTER;
                *u_loReference = -1;
                try {
                    std::int32_t reference = -1;
                    const HRESULT hr = manager_.SendConfirmed(
                        BstrView(u_bstrPhoneNr), BstrView(u_bstrMessage), u_shMode, reference);
                    if (SUCCEEDED(hr)) *u_loReference = reference;
                    return hr;
                } catch (...) {
                    return E_FAIL;
                }
            }(),
            IID_ISMSMgr2);
    });
}

HRESULT CSMSMgrObject::CheckModem(UINT* u_uiNrOfLines, VARIANT* pVal) {
    return Recorded("CheckModem", std::nullopt, [&]() -> HRESULT {
        return Reported(
            "CheckModem",
            [&]() -> HRESULT {
                if (!u_uiNrOfLines || !pVal) return E_POINTER;
                *u_uiNrOfLines = 0;
                VariantInit(pVal);
                try {
                    std::uint32_t count = 0;
                    std::vector<std::u16string> lines;
                    const HRESULT hr = manager_.CheckModem(count, lines);
                    if (FAILED(hr)) return hr;
                    const HRESULT made = StringArray(lines, pVal);
                    if (SUCCEEDED(made)) *u_uiNrOfLines = count;
                    return made;
                } catch (...) {
                    return E_FAIL;
                }
            }(),
            IID_ISMSMgr2);
    });
}

}  // namespace merel::host
