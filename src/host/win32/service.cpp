#include "host/win32/service.h"

#include <lm.h>
#include <sddl.h>
#include <shlobj.h>

#include <mutex>
#include <vector>

#include "base/narrow.h"
#include "host/common/failure_text.h"
#include "host/win32/registry_writer_win32.h"
#include "host/win32/server_ids.h"
#include "host/win32/server_module.h"
#include "host/win32/service_config.h"
#include "interface/hresult_text.h"
#include "interface/server_times.h"

namespace merel::host {
namespace {

// The longest a stop of the running service may take before /UnregServer deletes it anyway:
// a send in progress finishes first (a minute at most), then the exit pause.
constexpr DWORD kStopWaitMs = 70000;

const wchar_t* ServiceName() {
    return AsWide(kServiceName.data());  // the view is a whole literal, so NUL-terminated
}

// What Windows says about an error, in a few words and without the closing full stop.
std::string SystemText(HRESULT hr) {
    wchar_t* text = nullptr;
    const DWORD code = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : hr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string said;
    if (length > 0 && text != nullptr)
        said = Utf16ToUtf8(std::u16string_view(AsUtf16(text), length));
    LocalFree(text);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.' ||
                             said.back() == ' ')) {
        said.pop_back();
    }
    return said;
}

// One line on standard error, or on the console of the command that started us: the server is
// a windowed program and has neither when started otherwise.
void SayOnStandardError(std::string line) {
    line += "\r\n";
    HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
    bool attached = false;
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
        attached = true;
        out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    }
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        if (attached) CloseHandle(out);
    }
    if (attached) FreeConsole();
}

// Says which step of a registration failed, and returns its code.
HRESULT Fails(const char* command, HRESULT hr, std::string what) {
    const Failure failure{hr, std::move(what), SystemText(hr), {}};
    SayOnStandardError(std::string("MerelSMSManager ") + command + ": " +
                       FailureText(command, hr, failure));
    return hr;
}

HRESULT LastError() {
    const DWORD e = GetLastError();
    return e == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(e);
}

class ServiceHandle {
  public:
    explicit ServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ServiceHandle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    SC_HANDLE handle_;
};

// Makes the senders' group where it is missing and gives its SID as text. Empty, with a
// warning said, where the group cannot be found even after it was made (Wine's account
// database has no local groups): the permissions then name Administrators and SYSTEM only.
HRESULT SendersGroupSid(std::u16string& sid) {
    sid.clear();
    std::wstring name(AsWide(kSendersGroup.data()), kSendersGroup.size());
    std::wstring comment = L"May send SMS through the MerelSMSManager service";
    LOCALGROUP_INFO_1 info{name.data(), comment.data()};
    const NET_API_STATUS made =
        NetLocalGroupAdd(nullptr, 1, reinterpret_cast<BYTE*>(&info), nullptr);
    if (made != NERR_Success && made != ERROR_ALIAS_EXISTS && made != NERR_GroupExists) {
        return Fails("/RegServer /Service", HRESULT_FROM_WIN32(made),
                     "cannot create the local group '" + Utf16ToUtf8(kSendersGroup) + "'");
    }
    BYTE bytes[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof bytes;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use{};
    if (!LookupAccountNameW(nullptr, name.c_str(), bytes, &size, domain, &domainSize, &use)) {
        SayOnStandardError("MerelSMSManager /RegServer /Service: warning: the local group '" +
                           Utf16ToUtf8(kSendersGroup) + "' cannot be found (" +
                           SystemText(LastError()) +
                           "): only Administrators and SYSTEM may use the service");
        return S_OK;
    }
    if (use != SidTypeAlias) {
        return Fails("/RegServer /Service", HRESULT_FROM_WIN32(ERROR_INVALID_GROUPNAME),
                     "the account '" + Utf16ToUtf8(kSendersGroup) + "' is not a local group");
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(bytes, &text)) {
        return Fails("/RegServer /Service", LastError(),
                     "cannot read the SID of the local group '" + Utf16ToUtf8(kSendersGroup) + "'");
    }
    sid = AsUtf16(text);
    LocalFree(text);
    return S_OK;
}

// A self-relative security descriptor from its SDDL text.
HRESULT SecurityDescriptor(const std::u16string& sddl, std::vector<std::uint8_t>& bytes) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(AsWide(sddl.c_str()), SDDL_REVISION_1,
                                                              &descriptor, &size)) {
        return Fails("/RegServer /Service", LastError(),
                     "cannot make the security descriptor " + Utf16ToUtf8(sddl));
    }
    const auto* begin = static_cast<const std::uint8_t*>(descriptor);
    bytes.assign(begin, begin + size);
    LocalFree(descriptor);
    return S_OK;
}

// Creates the service, or points an existing one at this executable again (its account and
// start type stay as an administrator may have set them).
HRESULT InstallService(const std::u16string& commandLine) {
    const char* const command = "/RegServer /Service";
    ServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return Fails(command, LastError(), "cannot open the service control manager");
    ServiceHandle service(CreateServiceW(manager.get(), ServiceName(), ServiceName(),
                                         SERVICE_CHANGE_CONFIG, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         AsWide(commandLine.c_str()), nullptr, nullptr, nullptr,
                                         nullptr /* LocalSystem */, nullptr));
    if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
        ServiceHandle existing(OpenServiceW(manager.get(), ServiceName(), SERVICE_CHANGE_CONFIG));
        if (!existing ||
            !ChangeServiceConfigW(existing.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_NO_CHANGE,
                                  SERVICE_NO_CHANGE, AsWide(commandLine.c_str()), nullptr, nullptr,
                                  nullptr, nullptr, nullptr, ServiceName())) {
            return Fails(command, LastError(),
                         "cannot update the service " + Utf16ToUtf8(kServiceName));
        }
        return S_OK;
    }
    if (!service) {
        return Fails(command, LastError(),
                     "cannot create the service " + Utf16ToUtf8(kServiceName));
    }
    std::wstring text =
        L"Sends SMS through a GSM modem for the COM clients of every user "
        L"(MerelSMSManager.SMSMgr); started by COM when a client asks.";
    SERVICE_DESCRIPTIONW description{text.data()};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    return S_OK;
}

// ---- The running service ------------------------------------------------------------------

struct ServiceState {
    CMerelSMSManagerModule* module = nullptr;
    SERVICE_STATUS_HANDLE handle = nullptr;
    std::mutex mutex;  // the control handler and the serving thread both report
    SERVICE_STATUS status{};
    bool stopping = false;
    HRESULT result = S_OK;
    std::u16string settingsFolder;
};
ServiceState g_service;
bool g_runsAsService = false;

void Report(DWORD state, DWORD waitHint = 0) {
    std::lock_guard lock(g_service.mutex);
    SERVICE_STATUS& status = g_service.status;
    if (g_service.stopping && state == SERVICE_RUNNING) return;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    if (state == SERVICE_STOPPED && FAILED(g_service.result)) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(g_service.result);
    }
    status.dwWaitHint = waitHint;
    status.dwCheckPoint =
        (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : status.dwCheckPoint + 1;
    if (state == SERVICE_STOP_PENDING) g_service.stopping = true;
    SetServiceStatus(g_service.handle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Report(SERVICE_STOP_PENDING, static_cast<DWORD>(kServerExitPause.count()) + 2000);
            g_service.module->RequestStop();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// %ProgramData%\MerelSMSManager, made when missing: SYSTEM and Administrators change what is
// in it, everybody else only reads. An existing folder keeps the rights it has.
std::u16string PrepareSettingsFolder() {
    wchar_t* programData = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData))) return {};
    std::u16string folder = AsUtf16(programData);
    CoTaskMemFree(programData);
    folder += u"\\MerelSMSManager";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)", SDDL_REVISION_1, &descriptor,
        nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    // A folder that cannot be made shows in Init's failure, which names the path.
    CreateDirectoryW(AsWide(folder.c_str()), descriptor ? &attributes : nullptr);
    LocalFree(descriptor);
    return folder;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_service.handle = RegisterServiceCtrlHandlerExW(ServiceName(), OnControl, nullptr);
    if (g_service.handle == nullptr) {
        g_service.result = LastError();
        return;
    }
    Report(SERVICE_START_PENDING, 10000);
    g_service.settingsFolder = PrepareSettingsFolder();
    // This thread serves: it gets an apartment of its own, as the main thread of the plain
    // server has.
    HRESULT hr = CoInitialize(nullptr);
    if (SUCCEEDED(hr)) {
        hr = g_service.module->Run([](bool serving) {
            Report(serving ? SERVICE_RUNNING : SERVICE_STOP_PENDING,
                   serving ? 0 : static_cast<DWORD>(kServerExitPause.count()) + 2000);
        });
        g_service.module->Term();
        CoUninitialize();
    }
    g_service.result = hr;
    Report(SERVICE_STOPPED);
}

}  // namespace

HRESULT RegisterService() {
    const char* const command = "/RegServer /Service";
    const std::u16string module = ModulePath();
    if (module.empty()) return Fails(command, LastError(), "cannot find this executable's path");
    std::u16string groupSid;
    HRESULT hr = SendersGroupSid(groupSid);
    if (FAILED(hr)) return hr;
    std::vector<std::uint8_t> launch, access;
    hr = SecurityDescriptor(ComPermissionSddl(ComPermission::kLaunch, groupSid), launch);
    if (FAILED(hr)) return hr;
    hr = SecurityDescriptor(ComPermissionSddl(ComPermission::kAccess, groupSid), access);
    if (FAILED(hr)) return hr;
    hr = InstallService(ServiceCommandLine(module));
    if (FAILED(hr)) return hr;
    Win32RegistryWriter registry;
    hr = RegisterServiceAppId(registry, launch, access);
    if (FAILED(hr)) {
        return Fails(command, hr,
                     "cannot write LocalService, LaunchPermission and AccessPermission below "
                     "HKEY_CLASSES_ROOT\\AppID\\" +
                         Utf16ToUtf8(kAppId));
    }
    return S_OK;
}

HRESULT UnregisterService() {
    const char* const command = "/UnregServer";
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return Fails(command, LastError(), "cannot open the service control manager");
    ServiceHandle service(
        OpenServiceW(manager.get(), ServiceName(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        return Fails(command, LastError(), "cannot open the service " + Utf16ToUtf8(kServiceName));
    }
    if (service) {
        // A running service is stopped first, so that its executable can go with it.
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service.get(), &status) &&
            status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            const ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
            while (QueryServiceStatus(service.get(), &status) &&
                   status.dwCurrentState != SERVICE_STOPPED && GetTickCount64() < deadline) {
                Sleep(100);
            }
        }
        if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
            return Fails(command, LastError(),
                         "cannot delete the service " + Utf16ToUtf8(kServiceName));
        }
    }
    Win32RegistryWriter registry;
    if (const HRESULT hr = UnregisterServiceAppId(registry); FAILED(hr)) {
        return Fails(command, hr,
                     "cannot remove the service values below HKEY_CLASSES_ROOT\\AppID\\" +
                         Utf16ToUtf8(kAppId));
    }
    return S_OK;
}

HRESULT RunService(CMerelSMSManagerModule& module) {
    g_service.module = &module;
    g_runsAsService = true;
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(ServiceName()), ServiceMain},
                                    {nullptr, nullptr}};
    // Returns once the service has stopped. Started by anything but the service control manager
    // it fails at once (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT).
    if (!StartServiceCtrlDispatcherW(table)) return LastError();
    return g_service.result;
}

bool RunsAsService() {
    return g_runsAsService;
}

std::u16string ServiceSettingsFolder() {
    return g_runsAsService ? g_service.settingsFolder : std::u16string();
}

std::optional<Failure> RefusedSettingsChange() {
    if (!g_runsAsService) return std::nullopt;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    HRESULT hr = S_OK;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
        hr = LastError();
    } else if (SUCCEEDED(hr = CoImpersonateClient())) {
        // The caller's token, as the thread now holds it.
        if (!CheckTokenMembership(nullptr, administrators, &member)) hr = LastError();
        CoRevertToSelf();
    }
    if (SUCCEEDED(hr) && member) return std::nullopt;
    if (FAILED(hr)) {
        // Refused rather than let through: a caller must not get past the check by making it
        // fail.
        std::string why = wire::FormatHResult(hr);
        if (const std::string text = SystemText(hr); !text.empty()) why.append(": ").append(text);
        return Failure{
            E_ACCESSDENIED,
            "SetSettings is refused",
            "the service cannot tell whether the caller is an administrator (" + why + ")",
            {}};
    }
    return Failure{E_ACCESSDENIED,
                   "SetSettings is refused",
                   "the service changes its settings for administrators only; ask one to run "
                   "it, or to use merel-sms configure as an administrator",
                   {}};
}

}  // namespace merel::host
