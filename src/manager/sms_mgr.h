// CSMSMgr: the one manager object that every client shares. It holds the port, the settings
// record, the settings path and the status flags, and implements the nine methods.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "base/hresult.h"
#include "modem/modem_line.h"
#include "port/pause.h"
#include "port/port_enumerator.h"
#include "port/serial_device.h"
#include "settings/settings_file.h"
#include "settings/settings_text.h"
#include "sms/submission.h"

namespace merel {

struct PortLayer;

class CSMSMgr {
  public:
    // The platform services the manager works through; tests put fakes in their place.
    struct Services {
        SerialDevice* device;
        Pause* pause;
        SettingsFileSystem* files;
        PortEnumerator* ports;
        std::u16string (*executablePath)();
    };
    static Services SystemServices();

    CSMSMgr();
    explicit CSMSMgr(const Services& services);
    ~CSMSMgr();
    CSMSMgr(const CSMSMgr&) = delete;
    CSMSMgr& operator=(const CSMSMgr&) = delete;

    // The nine methods, in slot order. Strings come in as the client gave them (whole length,
    // embedded NULs included); each method applies its own rules to them.
    HRESULT SendTextMessage(std::u16string_view u_bstrPhoneNr, std::u16string_view u_bstrMessage,
                            std::int32_t u_inFlags);
    HRESULT SetSettings(std::u16string_view u_bstrPort, std::int32_t u_loBaudrate,
                        std::int16_t u_shDataBits, std::int16_t u_shParity,
                        std::int16_t u_shStopBits, std::int16_t u_shHandshake,
                        std::int16_t u_shReadTimeout, std::int16_t u_shCharacterSet);
    HRESULT GetSettings(std::u16string& u_bstrPort, std::int32_t& u_loBaudrate,
                        std::int16_t& u_shDataBits, std::int16_t& u_shParity,
                        std::int16_t& u_shStopBits, std::int16_t& u_shHandshake,
                        std::int16_t& u_shReadTimeout, std::int16_t& u_shCharacterSet);
    HRESULT SendPDUMessage(std::u16string_view u_bstrPhoneNr, std::u16string_view u_bstrMessage);
    HRESULT GetSMSManagerStatus(std::int8_t& u_boIsINIFileLoad, std::int8_t& u_boIsLOGFileOpen,
                                std::int8_t& u_boIsPortOpen, std::int8_t& u_boIsPortInit);
    HRESULT SendMessage(std::u16string_view u_bstrPhoneNr, std::u16string_view u_bstrMessage);
    HRESULT GetDetectedCOMPortsOnHost(std::uint32_t& u_uiNrOfPorts,
                                      std::vector<std::u16string>& pVal);
    HRESULT TestPort();
    HRESULT Init();

    // The two methods of the second interface. SendConfirmed sends in the given mode (-1: the
    // stored character set, 0 text, 1 PDU) and gives the modem's message reference, or -1 when
    // the modem said nothing during the send. CheckModem writes only queries and gives one
    // line per query: the command, a tab, the answer lines joined by " | ", or "(no answer)".
    HRESULT SendConfirmed(std::u16string_view u_bstrPhoneNr, std::u16string_view u_bstrMessage,
                          std::int16_t u_shMode, std::int32_t& u_loReference);
    HRESULT CheckModem(std::uint32_t& u_uiNrOfLines, std::vector<std::u16string>& pVal);

    // What the modem said during the last send, for hosts that pass it on: the warnings (a
    // warning about the open port is repeated by every send on it) and the transcript of the
    // modem's bytes, escaped so that any message can carry it.
    struct ModemReport {
        std::vector<std::string> warnings;
        std::string transcript;
        // The mode the send went in (0 text, 1 PDU), -1 when it stopped before one was chosen;
        // the modem's message reference, -1 when the modem did not confirm.
        std::int16_t mode = -1;
        std::int32_t reference = -1;
    };
    const ModemReport& LastModemReport() const { return m_lastReport; }

    // Operations of the object that the methods build on.
    HRESULT OpenPort(const std::u16string& port);
    HRESULT ConfigurePort(std::uint32_t baudrate, std::int32_t dataBits, std::int32_t parity,
                          std::int32_t stopBits, std::int32_t handshake, std::int32_t readTimeout);
    HRESULT WriteCommand(std::string_view command);
    HRESULT ClosePort();
    HRESULT LoadIniFile();
    HRESULT SaveIniFile();

    // State, under the names that the documentation and the tests use.
    PortHandle m_hPort = kInvalidPort;
    std::int32_t m_dwLastError = 0;
    FileHandle m_fileLog = kNoFile;
    FileHandle m_fileIni = kNoFile;
    std::u16string m_strPort;
    std::u16string m_strIniPath;
    // The folder that Init takes SMSMgr.ini from; empty for the executable's own folder.
    std::u16string m_strSettingsFolder;
    // The settings record, its defaults the settings file's own.
    std::int32_t m_loBaudrate = SettingsRecord{}.baudrate;
    std::int32_t m_shDataBits = SettingsRecord{}.dataBits;
    std::int32_t m_shParity = SettingsRecord{}.parity;
    std::int32_t m_shStopBits = SettingsRecord{}.stopBits;
    std::int32_t m_shHandshake = SettingsRecord{}.handshake;
    std::int32_t m_shReadTimeout = SettingsRecord{}.readTimeout;
    std::int32_t m_shCharacterSet = SettingsRecord{}.characterSet;
    std::int32_t m_boIsINIFileLoad = 0;
    std::int32_t m_boIsLOGFileOpen = 0;
    std::int32_t m_boIsPortOpen = 0;
    std::int32_t m_boIsPortInit = 0;
    // The modem may hold a message left open (by a send that stopped after AT+CMGS, or by a
    // process that died there): an ESC is owed before anything else is written.
    std::int32_t m_boIsCancelOwed = 0;
    // The name the open port was opened by.
    std::u16string m_strOpenPort;
    // Why no port is open (the last open failed, or the device went away), so that a later
    // send can say so; empty once an open succeeds.
    Failure m_openFailure;
    // What the modem has said on the open port, kept from call to call.
    modem::ModemLine m_modemLine;
    // What failed in the running (or last) call, said by the layer that failed; the hosts
    // format it. Empty when the call succeeded or failed without a word (no memory).
    Failure m_lastFailure;

  private:
    ModemReport m_lastReport;
    bool MaySend();
    // The stored character set as a send's mode (0 text, 1 PDU); false, with the failure set,
    // for a value that is neither.
    bool StoredMode(std::int16_t& mode);
    // One send in mode 0 (text), 1 (PDU) or -1 (the stored character set's), reading what the
    // modem answers; any other mode is refused.
    HRESULT Send(std::u16string_view phoneNr, std::u16string_view message, std::int16_t mode,
                 std::int32_t& reference);
    // The port layer's view of this manager's port members.
    PortLayer Port();
    // The open port as a submission writes to it.
    ModemPort Modem();
    SettingsRecord Record() const;
    void Apply(SettingsRecord record);
    // Runs one method: the failure of an earlier call is forgotten first, and anything thrown
    // (no memory for a string) ends the method with E_FAIL.
    template <typename Body>
    HRESULT Method(Body&& body) noexcept;

    Services m_services;
};

}  // namespace merel
