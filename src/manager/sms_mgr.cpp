#include "manager/sms_mgr.h"

#include <new>

#include "base/narrow.h"
#include "manager/executable_path.h"
#include "port/port_discovery.h"
#include "port/serial_port.h"
#include "settings/settings_io.h"
#include "modem/answer_transcript.h"
#include "sms/submission.h"

namespace merel {

template <typename Body>
HRESULT CSMSMgr::Method(Body&& body) noexcept {
    try {
        m_lastFailure = {};
        return body();
    } catch (...) {
        m_lastFailure = {};
        return kE_FAIL;
    }
}

CSMSMgr::Services CSMSMgr::SystemServices() {
    return {&SystemSerialDevice(), &SystemPause(), &SystemSettingsFileSystem(),
            &SystemPortEnumerator(), &ExecutablePath};
}

CSMSMgr::CSMSMgr() : CSMSMgr(SystemServices()) {}

CSMSMgr::CSMSMgr(const Services& services) : m_services(services) {}

CSMSMgr::~CSMSMgr() {
    if (m_hPort != kInvalidPort) ClosePort();
    if (m_fileLog != kNoFile) m_services.files->Close(m_fileLog);
    if (m_fileIni != kNoFile) m_services.files->Close(m_fileIni);
}

// ---- Port and settings-file operations -------------------------------------------------

PortLayer CSMSMgr::Port() {
    return {*m_services.device, *m_services.pause, m_hPort,       m_dwLastError,
            m_strOpenPort,      m_lastFailure,     m_openFailure, m_boIsPortOpen,
            m_boIsPortInit,     m_boIsCancelOwed,  m_modemLine};
}

SettingsRecord CSMSMgr::Record() const {
    return {m_strPort,    m_loBaudrate,  m_shDataBits,    m_shParity,
            m_shStopBits, m_shHandshake, m_shReadTimeout, m_shCharacterSet};
}

void CSMSMgr::Apply(SettingsRecord record) {
    m_strPort = std::move(record.port);
    m_loBaudrate = record.baudrate;
    m_shDataBits = record.dataBits;
    m_shParity = record.parity;
    m_shStopBits = record.stopBits;
    m_shHandshake = record.handshake;
    m_shReadTimeout = record.readTimeout;
    m_shCharacterSet = record.characterSet;
}

bool CSMSMgr::MaySend() {
    if (m_boIsINIFileLoad != 0 || m_boIsPortInit != 0) return true;
    m_lastFailure = {kE_FAIL, "not ready to send", "no settings file read and no port configured",
                     advice::kCallInit};
    return false;
}

bool CSMSMgr::StoredMode(std::int16_t& mode) {
    if (m_shCharacterSet == 0 || m_shCharacterSet == 1) {
        mode = static_cast<std::int16_t>(m_shCharacterSet);
        return true;
    }
    // No mode to send in: the caller must not believe that a message went out.
    m_lastFailure = {kE_INVALIDARG,
                     "the stored character set " + std::to_string(m_shCharacterSet) +
                         " is neither 0 (text mode) nor 1 (PDU mode)",
                     {},
                     advice::kChangeSettings};
    return false;
}

HRESULT CSMSMgr::Send(std::u16string_view phoneNr, std::u16string_view message, std::int16_t mode,
                      std::int32_t& reference) {
    reference = -1;
    m_lastReport = {};
    if (!MaySend()) return kE_FAIL;
    if (mode == -1) {
        if (!StoredMode(mode)) return kE_INVALIDARG;
    } else if (mode != 0 && mode != 1) {
        m_lastFailure = {kE_INVALIDARG,
                         "mode " + std::to_string(mode) + " refused",
                         "it is neither -1 (the stored character set), 0 (text mode) nor 1 "
                         "(PDU mode)",
                         {}};
        return kE_INVALIDARG;
    }
    m_lastReport.mode = mode;
    // Each send has a transcript of its own, which starts with what the modem sent on its own
    // since the last call; none of that is an answer to this send.
    m_modemLine.parser.TakeTranscript();
    SkipWaiting(Port());
    SendOutcome outcome;
    const HRESULT hr = mode == 0
                           ? SubmitTextMessage(Modem(), phoneNr, message, m_lastFailure, &outcome)
                           : SubmitPduMessage(Modem(), phoneNr, message, m_lastFailure, &outcome);
    m_lastReport.warnings = std::move(outcome.warnings);
    m_lastReport.transcript = modem::EscapeModemBytes(m_modemLine.parser.TakeTranscript());
    reference = m_lastReport.reference = outcome.reference;
    return hr;
}

HRESULT CSMSMgr::OpenPort(const std::u16string& port) {
    return merel::OpenPort(Port(), port);
}

HRESULT CSMSMgr::ConfigurePort(std::uint32_t baudrate, std::int32_t dataBits, std::int32_t parity,
                               std::int32_t stopBits, std::int32_t handshake,
                               std::int32_t readTimeout) {
    return merel::ConfigurePort(Port(), baudrate, dataBits, parity, stopBits, handshake,
                                readTimeout);
}

HRESULT CSMSMgr::WriteCommand(std::string_view command) {
    return merel::WriteCommand(Port(), command);
}

ModemPort CSMSMgr::Modem() {
    return {[this](std::string_view c) { return WriteCommand(c); },
            [this] { CancelMessage(Port()); }, [this] { return TakeAnswers(Port()); },
            [this](std::uint32_t milliseconds) {
                AwaitFinalResult(Port(), milliseconds);
                return TakeAnswers(Port());
            },
            &m_modemLine};
}

HRESULT CSMSMgr::ClosePort() {
    return merel::ClosePort(Port());
}

HRESULT CSMSMgr::LoadIniFile() {
    SettingsRecord record = Record();
    const HRESULT hr = merel::LoadIniFile(
        {*m_services.files, m_fileIni, m_dwLastError, m_lastFailure}, m_strIniPath, record);
    Apply(std::move(record));
    return hr;
}

HRESULT CSMSMgr::SaveIniFile() {
    return merel::SaveIniFile({*m_services.files, m_fileIni, m_dwLastError, m_lastFailure},
                              m_strIniPath, Record());
}

// ---- The nine methods ------------------------------------------------------------------

HRESULT CSMSMgr::SendTextMessage(std::u16string_view u_bstrPhoneNr,
                                 std::u16string_view u_bstrMessage, std::int32_t /*u_inFlags*/) {
    return Method([&] {
        std::int32_t reference = -1;
        return Send(u_bstrPhoneNr, u_bstrMessage, 0, reference);
    });
}

HRESULT CSMSMgr::SendPDUMessage(std::u16string_view u_bstrPhoneNr,
                                std::u16string_view u_bstrMessage) {
    return Method([&] {
        std::int32_t reference = -1;
        return Send(u_bstrPhoneNr, u_bstrMessage, 1, reference);
    });
}

HRESULT CSMSMgr::SetSettings(std::u16string_view u_bstrPort, std::int32_t u_loBaudrate,
                             std::int16_t u_shDataBits, std::int16_t u_shParity,
                             std::int16_t u_shStopBits, std::int16_t u_shHandshake,
                             std::int16_t u_shReadTimeout, std::int16_t u_shCharacterSet) {
    return Method([&] {
        m_strPort = UpToNul(u_bstrPort);
        m_loBaudrate = u_loBaudrate;
        m_shDataBits = u_shDataBits;
        m_shParity = u_shParity;
        m_shStopBits = u_shStopBits;
        m_shHandshake = u_shHandshake;
        m_shReadTimeout = u_shReadTimeout;
        m_shCharacterSet = u_shCharacterSet;
        if (SaveIniFile() == 0) return kS_OK;
        if (m_strIniPath.empty()) {
            m_lastFailure = {kE_FAIL, "the settings file has no place yet", {}, advice::kCallInit};
        }
        return kE_FAIL;
    });
}

HRESULT CSMSMgr::GetSettings(std::u16string& u_bstrPort, std::int32_t& u_loBaudrate,
                             std::int16_t& u_shDataBits, std::int16_t& u_shParity,
                             std::int16_t& u_shStopBits, std::int16_t& u_shHandshake,
                             std::int16_t& u_shReadTimeout, std::int16_t& u_shCharacterSet) {
    return Method([&] {
        u_bstrPort = m_strPort;
        u_loBaudrate = m_loBaudrate;
        u_shDataBits = static_cast<std::int16_t>(m_shDataBits);
        u_shParity = static_cast<std::int16_t>(m_shParity);
        u_shStopBits = static_cast<std::int16_t>(m_shStopBits);
        u_shHandshake = static_cast<std::int16_t>(m_shHandshake);
        u_shReadTimeout = static_cast<std::int16_t>(m_shReadTimeout);
        u_shCharacterSet = static_cast<std::int16_t>(m_shCharacterSet);
        return kS_OK;
    });
}

HRESULT CSMSMgr::GetSMSManagerStatus(std::int8_t& u_boIsINIFileLoad, std::int8_t& u_boIsLOGFileOpen,
                                     std::int8_t& u_boIsPortOpen, std::int8_t& u_boIsPortInit) {
    return Method([&] {
        u_boIsINIFileLoad = static_cast<std::int8_t>(m_boIsINIFileLoad & 0xFF);
        u_boIsLOGFileOpen = static_cast<std::int8_t>(m_boIsLOGFileOpen & 0xFF);
        u_boIsPortOpen = static_cast<std::int8_t>(m_boIsPortOpen & 0xFF);
        u_boIsPortInit = static_cast<std::int8_t>(m_boIsPortInit & 0xFF);
        return kS_OK;
    });
}

HRESULT CSMSMgr::SendMessage(std::u16string_view u_bstrPhoneNr, std::u16string_view u_bstrMessage) {
    return Method([&] {
        std::int32_t reference = -1;
        return Send(u_bstrPhoneNr, u_bstrMessage, -1, reference);
    });
}

HRESULT CSMSMgr::GetDetectedCOMPortsOnHost(std::uint32_t& u_uiNrOfPorts,
                                           std::vector<std::u16string>& pVal) {
    return Method([&] { return DiscoverPorts(*m_services.ports, u_uiNrOfPorts, pVal); });
}

HRESULT CSMSMgr::TestPort() {
    return Method([&] {
        return merel::TestPort(Port(), m_strPort, static_cast<std::uint32_t>(m_loBaudrate));
    });
}

HRESULT CSMSMgr::Init() {
    return Method([&] {
        std::u16string path;
        if (m_strSettingsFolder.empty()) {
            path = m_services.executablePath();
            // Keep the folder with its trailing separator; a bare name has no folder.
            const auto cut = path.rfind(kPathSeparator);
            path.resize(cut == std::u16string::npos ? 0 : cut + 1);
        } else {
            path = m_strSettingsFolder;
            if (path.back() != kPathSeparator) path += kPathSeparator;
        }
        m_strIniPath = path + u"SMSMgr.ini";

        const HRESULT loaded = LoadIniFile();
        if (loaded != 0) return loaded;
        m_boIsINIFileLoad = 1;

        // The port open under another name is not the one the settings name now: sends must
        // go out on the new one. The same name keeps the open port.
        if (m_hPort != kInvalidPort && m_strOpenPort != m_strPort && ClosePort() != 0) {
            const HRESULT hr = m_dwLastError;
            m_lastFailure = {hr,
                             "cannot close port " + Utf16ToUtf8(m_strOpenPort) + " to open port " +
                                 Utf16ToUtf8(m_strPort),
                             {},
                             {}};
            return hr;
        }
        const auto openAndConfigure = [this] {
            if (OpenPort(m_strPort) != 0) return false;
            m_boIsPortOpen = 1;
            return ConfigurePort(static_cast<std::uint32_t>(m_loBaudrate), kFixedLine.dataBits,
                                 kFixedLine.parity, kFixedLine.stopBits, kFixedLine.handshake,
                                 kFixedLine.readTimeout) == 0;
        };
        const bool kept = m_hPort != kInvalidPort;
        bool ready = openAndConfigure();
        // A kept handle whose device went away since (a modem pulled out and put back) has just
        // been closed by the failed configuration; the device may be back, so open it afresh.
        if (!ready && kept && m_hPort == kInvalidPort) ready = openAndConfigure();
        if (!ready) return FoldError(m_dwLastError);
        m_boIsPortInit = 1;
        return SettleOwedCancel(Port());
    });
}

HRESULT CSMSMgr::SendConfirmed(std::u16string_view u_bstrPhoneNr, std::u16string_view u_bstrMessage,
                               std::int16_t u_shMode, std::int32_t& u_loReference) {
    return Method([&] { return Send(u_bstrPhoneNr, u_bstrMessage, u_shMode, u_loReference); });
}

namespace {

// What CheckModem asks, in order: the modem itself, its SIM, its network and its character sets.
constexpr std::string_view kModemQueries[] = {"AT",       "AT+CGMI",  "AT+CGMM",
                                              "AT+CGMR",  "AT+CPIN?", "AT+CSQ",
                                              "AT+CREG?", "AT+COPS?", "AT+CSCS=?"};
// How long each query may take to be answered.
constexpr std::uint32_t kQueryWaitMs = 2000;

}  // namespace

HRESULT CSMSMgr::CheckModem(std::uint32_t& u_uiNrOfLines, std::vector<std::u16string>& pVal) {
    return Method([&] {
        u_uiNrOfLines = 0;
        pVal.clear();
        m_modemLine.parser.TakeTranscript();
        SkipWaiting(Port());
        std::vector<std::u16string> lines;
        for (std::string_view query : kModemQueries) {
            if (const HRESULT hr = WriteQuery(Port(), std::string(query) + "\r", kQueryWaitMs);
                Failed(hr)) {
                return hr;
            }
            m_modemLine.resetOnLine = false;
            std::string answer;
            for (const modem::AnswerEvent& event : TakeAnswers(Port())) {
                if (event.kind == modem::AnswerKind::kEcho ||
                    event.kind == modem::AnswerKind::kUnsolicited) {
                    continue;
                }
                if (!answer.empty()) answer += " | ";
                answer += modem::EscapeModemBytes(event.text);
            }
            lines.push_back(
                Utf8ToUtf16(std::string(query) + '\t' + (answer.empty() ? "(no answer)" : answer)));
        }
        pVal = std::move(lines);
        u_uiNrOfLines = static_cast<std::uint32_t>(pVal.size());
        return kS_OK;
    });
}

}  // namespace merel
