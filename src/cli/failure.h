// What the client reports when a call fails: the message, a hint on what to do, and the exit
// code from sysexits.h, chosen by what the failed call was doing and the HRESULT it gave.
#pragma once

#include <string>

#include "base/hresult.h"

namespace merel::cli {

// sysexits.h, written out because the Windows headers lack it.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;
inline constexpr int kExitDataErr = 65;
inline constexpr int kExitNoInput = 66;
inline constexpr int kExitUnavailable = 69;
inline constexpr int kExitSoftware = 70;
inline constexpr int kExitCantCreate = 73;
inline constexpr int kExitIoErr = 74;
inline constexpr int kExitTempFail = 75;
inline constexpr int kExitNoPerm = 77;

// A settings file (or its folder) that is not there: on a fresh installation.
inline constexpr HRESULT kFileNotFound = hresult::kFileNotFound;
inline constexpr HRESULT kPathNotFound = hresult::kPathNotFound;

// What the failed call was doing, as far as the exit code and the hint care.
enum class Stage {
    kQuery,          // status, settings, ports
    kSettingsRead,   // Init failed before the settings were loaded
    kSettingsWrite,  // SetSettings
    kPort,           // Init after loading the settings, TestPort
    kSendText,       // SendTextMessage
    kSendPdu,        // SendPDUMessage
};

struct Failure {
    HRESULT hr = kS_OK;  // kS_OK: a usage error, which has no code
    std::string message;
    std::string hint;  // empty where none helps
    int exitCode = kExitSoftware;
};

// Which bus the client used (D-Bus only): the steps that help differ.
enum class Bus { kSession, kSystem };
// Whether there was a bus to connect to at all (D-Bus only).
enum class Connection { kConnected, kNoBus };

// `text` is the transport's LastErrorText(); when empty the code stands alone. The advice for
// API callers that a server message ends with is left out: the hint names the merel-sms
// command that does it.
Failure ClassifyFailure(Stage stage, HRESULT hr, std::string text, Bus bus = Bus::kSession,
                        Connection connection = Connection::kConnected);

}  // namespace merel::cli
