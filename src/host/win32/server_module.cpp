#include "host/win32/server_module.h"
#include "interface/server_times.h"

#include "base/narrow.h"
#include "host/common/command_line_scan.h"
#include "host/win32/registrar.h"
#include "host/win32/registry_scripts.h"
#include "host/win32/registry_writer_win32.h"
#include "host/win32/server_ids.h"
#include "host/win32/service.h"
#include "host/win32/service_config.h"
#include "host/win32/type_library_registration.h"

namespace merel::host {
namespace {

// A REGISTRY resource of this executable as text. The scripts are plain ASCII.
HRESULT LoadScript(int id, std::u16string& script) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (found == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    const DWORD size = SizeofResource(nullptr, found);
    script = WidenLatin1(std::string_view(static_cast<const char*>(data), size));
    return S_OK;
}

HRESULT RunScript(int id, bool doRegister) {
    try {
        std::u16string script;
        HRESULT hr = LoadScript(id, script);
        if (FAILED(hr)) return hr;
        const std::u16string module = ModulePath();
        if (module.empty()) return HRESULT_FROM_WIN32(GetLastError());
        const ScriptVariables variables{{u"APPID", kAppId}, {u"MODULE", module}};
        Win32RegistryWriter registry;
        return doRegister ? RegisterScript(script, variables, registry)
                          : UnregisterScript(script, variables, registry);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

CMerelSMSManagerModule::CMerelSMSManagerModule()
    : servingThreadId_(GetCurrentThreadId()),
      lifetime_(kServerIdleTimeout, kServerExitPause,
                [this] { PostThreadMessageW(servingThreadId_, WM_QUIT, 0, 0); }),
      classFactory_(lifetime_, typeInfo_) {
    const HRESULT hr = CoInitialize(nullptr);
    if (SUCCEEDED(hr)) {
        comInitialized_ = true;
    } else if (!(hr == RPC_E_CHANGED_MODE && GetModuleHandleW(L"Mscoree.dll") != nullptr)) {
        // Only a runtime that set the apartment up before us is tolerated.
        initFailed_ = true;
    }
}

CMerelSMSManagerModule::~CMerelSMSManagerModule() {
    Term();
    if (comInitialized_) CoUninitialize();
}

void CMerelSMSManagerModule::Term() {
    classFactory_.ReleaseObject();
    typeInfo_.Clear();
}

HRESULT CMerelSMSManagerModule::WinMain(std::u16string_view commandLine) {
    HRESULT hr;
    const bool service = HasSwitch(commandLine, kServiceSwitch);
    switch (ScanCommandLine(commandLine)) {
        case ServerCommand::kRegister:
            hr = RegisterServer();
            if (SUCCEEDED(hr) && service) hr = RegisterService();
            break;
        case ServerCommand::kUnregister:
            // A service registered before goes first, so that no client starts it meanwhile.
            hr = UnregisterService();
            if (SUCCEEDED(hr)) hr = UnregisterServer();
            break;
        default:
            hr = service ? RunService(*this) : Run();
            break;
    }
    Term();
    return hr;
}

HRESULT CMerelSMSManagerModule::RegisterServer() {
    HRESULT hr = RunScript(kApplicationScriptId, true);
    if (FAILED(hr)) return hr;
    hr = RunScript(kClassScriptId, true);
    if (FAILED(hr)) return hr;
    return RegisterTypeLibrary();
}

HRESULT CMerelSMSManagerModule::UnregisterServer() {
    HRESULT hr = RunScript(kClassScriptId, false);
    if (FAILED(hr)) return hr;
    hr = UnregisterTypeLibrary();
    if (FAILED(hr)) return hr;
    return RunScript(kApplicationScriptId, false);
}

HRESULT CMerelSMSManagerModule::Run(const std::function<void(bool serving)>& serving) {
    servingThreadId_ = GetCurrentThreadId();
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(CLSID_SMSMgr, &classFactory_, CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &cookie);
    if (hr == S_OK) {
        if (lifetime_.DelayShutdown() && !lifetime_.StartMonitor()) hr = E_FAIL;
    } else {
        lifetime_.SetDelayShutdown(false);
    }
    if (FAILED(hr)) return hr;

    if (hr == S_OK) {
        // Idle from the start: a server started without any client ends like one whose last
        // client left.
        lifetime_.Lock();
        lifetime_.Unlock();
        if (serving) serving(true);
        ServeUntilIdle();
        if (serving) serving(false);
    }

    // A stop does not wait for the clients: their proxies lose the object, which lets go of
    // the port.
    if (stopRequested_) classFactory_.DisconnectClients();
    // The object goes first, closing its port, so that a server started for the next client
    // can open the port as soon as this one stops taking requests.
    classFactory_.ReleaseObject();
    hr = CoRevokeClassObject(cookie);
    // Calls that were still arriving when the loop ended get time to finish; after a stop the
    // clients are cut off, and the service control manager waits for the end.
    if (!stopRequested_) lifetime_.PauseBeforeExit();
    return hr;
}

void CMerelSMSManagerModule::ServeUntilIdle() {
    MSG message;
    for (;;) {
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        // Requests that reached the apartment before the quit are served first: one of them
        // may have connected a client, and then the server carries on and the monitor, which
        // keeps watching, quits again once the count has been 0 for the idle time.
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (lifetime_.LockCount() == 0 || stopRequested_) return;
    }
}

void CMerelSMSManagerModule::RequestStop() {
    stopRequested_ = true;
    PostThreadMessageW(servingThreadId_, WM_QUIT, 0, 0);
}

}  // namespace merel::host
