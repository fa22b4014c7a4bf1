// The nine calls of the manager as the command-line client makes them, over one transport or
// the other (D-Bus on Linux, COM on Windows). The front end is written once against this.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/hresult.h"

namespace merel::cli {

struct Settings {
    std::u16string port;
    std::int32_t baudrate = 0;
    std::int16_t dataBits = 0, parity = 0, stopBits = 0, handshake = 0, readTimeout = 0,
                 characterSet = 0;
};

struct Status {
    std::int8_t iniFileLoad = 0, logFileOpen = 0, portOpen = 0, portInit = 0;
};

// Failures that happen before the server runs the call, as HRESULTs of their own, so that the
// front end needs no transport's error types.
inline constexpr HRESULT kServerNotRegistered = kREGDB_E_CLASSNOTREG;
inline constexpr HRESULT kServerNotStarted = kCO_E_SERVER_EXEC_FAILURE;
inline constexpr HRESULT kCallTimedOut = hresult::kTimeout;
// The bus (or COM's security) refused the call before it reached the server.
inline constexpr HRESULT kCallRefused = kRPC_E_ACCESS_DENIED;

// What the modem said in a confirmed send, beyond the result.
struct SendReport {
    std::int32_t reference = -1;  // the modem's message reference, or -1: not confirmed
    std::vector<std::string> warnings;
    std::string transcript;  // the modem's bytes, escaped; empty where the transport has none
};

class ManagerClient {
  public:
    virtual ~ManagerClient() = default;

    // Strings go to the server as UTF-16 code units, exactly as given.
    virtual HRESULT SendTextMessage(const std::u16string& number, const std::u16string& text,
                                    std::int32_t flags) = 0;
    virtual HRESULT SetSettings(const Settings& settings) = 0;
    virtual HRESULT GetSettings(Settings& settings) = 0;
    virtual HRESULT SendPDUMessage(const std::u16string& number, const std::u16string& text) = 0;
    virtual HRESULT GetSMSManagerStatus(Status& status) = 0;
    virtual HRESULT SendMessage(const std::u16string& number, const std::u16string& text) = 0;
    virtual HRESULT GetDetectedCOMPortsOnHost(std::vector<std::u16string>& ports) = 0;
    virtual HRESULT TestPort() = 0;
    virtual HRESULT Init() = 0;
    // The calls of the second interface. mode: -1 the stored character set, 0 text, 1 PDU.
    virtual HRESULT SendConfirmed(const std::u16string& number, const std::u16string& text,
                                  std::int16_t mode, SendReport& report) = 0;
    virtual HRESULT CheckModem(std::vector<std::u16string>& lines) = 0;

    // The server's own words on the last failed call ("0x80070002: cannot open port …"), or
    // the transport's when the call never reached the server. Empty after a success.
    virtual std::string LastErrorText() const = 0;

    // False when there was nothing to connect to (no bus); every call then fails with
    // kServerNotStarted.
    virtual bool Connected() const { return true; }
};

}  // namespace merel::cli
