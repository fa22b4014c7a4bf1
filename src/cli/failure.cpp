#include "cli/failure.h"

#include <string_view>
#include <vector>

#include "base/failure.h"
#include "cli/manager_client.h"
#include "cli/modem_check.h"
#include "interface/hresult_text.h"
#include "sms/rules.h"

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

// How the server's message begins when the modem gave no verdict on an SMS in time; the
// transport's own time-out has the same code.
constexpr std::string_view kNoVerdictWords = "the modem did not confirm";

const char* kNoSettingsHint = "no settings yet; run: merel-sms configure --port <device>";

// The hint for where the client runs: under Windows (COM), or on the system or session bus.
const char* ForPlace(Bus bus, const char* windows, const char* systemBus, const char* sessionBus) {
    if (kWindows) return windows;
    return bus == Bus::kSystem ? systemBus : sessionBus;
}

// The advice for API callers at the end of a server message, or empty.
std::string_view AdviceIn(std::string_view message) {
    const std::string_view rest = WithoutAdvice(message);
    return rest.size() == message.size() ? std::string_view{} : message.substr(rest.size() + 2);
}

// The merel-sms command that does what the advice asks of an API caller.
std::string CommandFor(std::string_view words) {
    if (words == advice::kWriteSettings) return kNoSettingsHint;
    if (words == advice::kNamePort)
        return "no port is stored; run: merel-sms configure --port "
               "<device>";
    if (words == advice::kChangeSettings) {
        return "choose a mode: merel-sms configure --mode text|pdu, or send with --mode";
    }
    if (words == advice::kCallInit || words == advice::kOpenPort) return "run: merel-sms init";
    return {};
}

// What the mode accepts, in the words of the rules, leaving out what the server's message
// says already. The text lengths are the client's own checks.
std::string RefusedInputHint(Stage stage, const std::string& message) {
    std::vector<std::string> rules;
    if (stage == Stage::kSendText) {
        rules = {TextModeNumberRule(), TextModeTextRule(),
                 "in text mode a text holds at most " + std::to_string(kSmsTextModeCharacters) +
                     " code page 437 characters"};
    } else if (stage == Stage::kSendPdu) {
        rules = {PduNumberRule(), "in PDU mode a text holds at most " +
                                      std::to_string(kMaxPduUnits) + " UTF-16 units"};
    }
    std::string hint;
    for (const std::string& rule : rules) {
        if (message.find(rule) != std::string::npos) continue;
        hint += (hint.empty() ? "" : "; ") + rule;
    }
    return hint;
}

}  // namespace

Failure ClassifyFailure(Stage stage, HRESULT hr, std::string text, Bus bus, Connection connection) {
    const std::string advice(AdviceIn(text));
    Failure f{
        hr,
        text.empty() ? wire::FormatHResult(hr) + ": call failed" : std::string(WithoutAdvice(text)),
        {},
        kExitSoftware};
    const bool send = stage == Stage::kSendText || stage == Stage::kSendPdu;
    // The modem refused the SMS: the server's message names the modem's answer and what it
    // means; a later try may succeed once the cause is mended.
    if (send && IsModemRefusal(hr)) {
        f.hint = ModemRefusalHint(hr);
        f.exitCode = kExitTempFail;
        return f;
    }
    // The modem took the SMS and gave no verdict: the server says so itself.
    if (hr == kCallTimedOut && send && text.find(kNoVerdictWords) != std::string::npos) {
        f.hint =
            "the modem may have sent it after all: ask the recipient before sending it "
            "again; merel-sms check shows the modem's signal and network";
        f.exitCode = kExitTempFail;
        return f;
    }
    // A send given up on may have gone out or not: one the service had begun writing is
    // finished; one still waiting its turn is dropped once this client has left the bus. The
    // client cannot tell which, so it says so rather than report a failure.
    if (hr == kCallTimedOut && send) {
        f.message += ": the SMS may or may not have gone out";
        f.hint =
            "a send the service had begun is finished, one still waiting behind other sends is "
            "dropped; ask the recipient before sending again, and allow more time with "
            "--timeout SECONDS";
        f.exitCode = kExitTempFail;
        return f;
    }
    if (ServerUnreachable(hr)) {
        f.exitCode = kExitUnavailable;
        if (connection == Connection::kNoBus) {
            f.hint = bus == Bus::kSystem
                         ? "no system bus: is dbus running? (systemctl status dbus)"
                         : "no session bus: run inside a login session, set "
                           "DBUS_SESSION_BUS_ADDRESS, or use --system for the system service";
        } else if (hr == kServerNotRegistered) {
            f.hint = ForPlace(bus,
                              "register the server: MerelSMSManager.exe /RegServer (as "
                              "administrator)",
                              "install the merel-sms-manager package, which provides the system "
                              "service",
                              "register the service: MerelSMSManager -RegServer");
        } else if (hr == kServerNotStarted && !kWindows) {
            f.hint = bus == Bus::kSystem
                         ? "systemctl status merel-sms-manager says why the service did not start"
                         : "the bus could not start MerelSMSManager; its log says why";
        }
        return f;
    }
    if (hr == kCallRefused) {
        f.exitCode = kExitNoPerm;
        // The system service's policy keeps the settings, and so the choice of serial port, to
        // root: a member may send but not point the service at another device.
        if (stage == Stage::kSettingsWrite && bus == Bus::kSystem && !kWindows) {
            f.hint =
                "only root may change the system service's settings: run it as root: sudo "
                "merel-sms --system configure …";
            return f;
        }
        f.hint = ForPlace(bus, "the server's access permissions do not include this user",
                          "the system service answers root and group merel-sms: sudo usermod "
                          "-aG merel-sms $USER, then log in again",
                          "the session bus's policy refuses this call");
        return f;
    }
    // The service's queue is full (or, under COM, memory ran short): a later try may succeed.
    if (hr == kE_OUTOFMEMORY) {
        f.exitCode = kExitTempFail;
        f.hint = "the service is busy with other clients' calls; try again later";
        return f;
    }
    if (hr == kE_INVALIDARG) {
        f.exitCode = kExitDataErr;
        f.hint = advice.empty() ? RefusedInputHint(stage, f.message) : CommandFor(advice);
        return f;
    }
    switch (stage) {
        case Stage::kSettingsRead:
        case Stage::kSettingsWrite:
            f.exitCode = hr == kAccessDenied ? kExitNoPerm : kExitCantCreate;
            if (stage == Stage::kSettingsRead && (hr == kFileNotFound || hr == kPathNotFound)) {
                f.hint = kNoSettingsHint;
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
    if (!advice.empty()) f.hint = CommandFor(advice);
    return f;
}

}  // namespace merel::cli
