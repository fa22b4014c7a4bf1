#include "cli/failure.h"

#include "cli/manager_client.h"
#include "interface/hresult_text.h"

#include <cstdint>
#include <cstdio>

namespace merel::cli {

namespace {

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

constexpr HRESULT kAccessDenied = hresult::kAccessDenied;

bool ServerUnreachable(HRESULT hr) {
    return hr == kServerNotRegistered || hr == kServerNotStarted || hr == kCallTimedOut ||
           hr == kCO_E_SERVER_STOPPING || hr == kRPC_E_DISCONNECTED ||
           hr == hresult::kRpcServerUnavailable;
}

// The port layer's failures are Win32 errors folded into HRESULTs (E_HANDLE among them).
bool PortFailure(HRESULT hr) {
    return IsWin32Error(hr);
}

const char* kSettingsFolderHint =
    kWindows ? "the folder of MerelSMSManager.exe needs write access for SMSMgr.ini "
               "(or run as administrator)"
             : "the folder of SMSMgr.ini (beside the MerelSMSManager binary, or the service's "
               "--settings-dir) needs write access for the user the service runs as";

// The hint for where the client runs: under Windows (COM), or on the system or session bus.
const char* ForPlace(Bus bus, const char* windows, const char* systemBus, const char* sessionBus) {
    if (kWindows) return windows;
    return bus == Bus::kSystem ? systemBus : sessionBus;
}

std::string RefusedInputHint(Stage stage) {
    switch (stage) {
        case Stage::kSendText:
            return "text mode takes a number without '\"' or control characters, and a text of "
                   "up to 160 code page 437 characters without Ctrl-Z or ESC";
        case Stage::kSendPdu:
            return "PDU mode takes a number of digits, separators - . ( ), spaces and one "
                   "leading +, at most 20 digits, and a text of up to 70 UTF-16 units";
        default:
            return {};
    }
}

}  // namespace

Failure ClassifyFailure(Stage stage, HRESULT hr, std::string text, Bus bus) {
    Failure f{hr,
              text.empty() ? wire::FormatHResult(hr) + ": call failed" : std::move(text),
              {},
              kExitSoftware};
    if (ServerUnreachable(hr)) {
        f.exitCode = kExitUnavailable;
        if (hr == kServerNotRegistered) {
            f.hint = ForPlace(bus,
                              "register the server: MerelSMSManager.exe /RegServer (as "
                              "administrator)",
                              "install the merel-sms-manager package, which provides the system "
                              "service",
                              "register the service: MerelSMSManager -RegServer");
        }
        return f;
    }
    if (hr == kCallRefused) {
        f.exitCode = kExitNoPerm;
        f.hint = ForPlace(bus, "the server's access permissions do not include this user",
                          "the system service answers root and group merel-sms: sudo usermod "
                          "-aG merel-sms $USER, then log in again",
                          "the session bus's policy refuses this call");
        return f;
    }
    if (hr == kE_INVALIDARG) {
        f.exitCode = kExitDataErr;
        f.hint = RefusedInputHint(stage);
        return f;
    }
    switch (stage) {
        case Stage::kSettingsRead:
        case Stage::kSettingsWrite:
            f.exitCode = hr == kAccessDenied ? kExitNoPerm : kExitCantCreate;
            if (stage == Stage::kSettingsRead && (hr == kFileNotFound || hr == kPathNotFound)) {
                f.hint = "no settings yet; run: merel-sms configure --port <device>";
            } else {
                f.hint = kSettingsFolderHint;
            }
            break;
        case Stage::kPort:
        case Stage::kSendText:
        case Stage::kSendPdu:
            if (hr == kAccessDenied) {
                f.exitCode = kExitNoPerm;
                f.hint = kWindows ? "another program may hold the port; close it and try again"
                                  : "join the dialout group: sudo usermod -aG dialout $USER, "
                                    "then log in again";
            } else if (PortFailure(hr)) {
                f.exitCode = kExitIoErr;
                f.hint =
                    "check the modem and its port (merel-sms ports lists the ports found); "
                    "to use another: merel-sms configure --port <device>";
            }
            break;
        case Stage::kQuery:
            break;
    }
    return f;
}

}  // namespace merel::cli
