#include "host/common/failure_text.h"

#include <cstdint>
#include <cstdio>

#include "base/narrow.h"
#include "manager/executable_path.h"

namespace merel::host {

namespace {

std::uint32_t Bits(HRESULT hr) {
    return static_cast<std::uint32_t>(hr);
}

constexpr std::uint32_t kFileNotFound = 0x80070002u, kPathNotFound = 0x80070003u,
                        kAccessDenied = 0x80070005u, kInvalidHandle = 0x80070006u,
                        kSharingViolation = 0x80070020u;

std::string Utf8(std::u16string_view text) {
    return Utf16ToUtf8(text);
}

// A client's number as it can be shown on one line: control characters spelled out, and a
// long one cut short.
std::string Quoted(std::u16string_view number) {
    constexpr std::size_t kShown = 32;
    std::u16string shown;
    for (char16_t c : number.substr(0, kShown)) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
            shown += WidenLatin1(escaped);
        } else {
            shown += c;
        }
    }
    std::string quoted = "\"";
    quoted += Utf8(shown);
    quoted += number.size() > kShown ? "...\"" : "\"";
    return quoted;
}

std::u16string FolderOf(const std::u16string& path) {
    const auto cut = path.rfind(kPathSeparator);
    return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut + 1);
}

// Why a port could not be used, in the words a user of the device would look for.
std::string PortReason(HRESULT hr) {
    switch (Bits(hr)) {
        case kFileNotFound:
        case kPathNotFound:
            return "no such device";
        case kAccessDenied:
            return "access denied (no permission to use the device)";
        case kSharingViolation:
            return "in use by another program";
        default:
            return DescribeHResult(hr);
    }
}

std::string PortFailure(HRESULT hr, const CSMSMgr& manager) {
    if (manager.m_strPort.empty()) {
        return "no port is set: name one with SetSettings";
    }
    // The port handle stays open once opening worked, so an open handle means that the
    // configuration failed.
    const char* step =
        manager.m_hPort == kInvalidPort ? "cannot open port " : "cannot configure port ";
    return step + Utf8(manager.m_strPort) + ": " + PortReason(hr);
}

std::string SettingsReadFailure(HRESULT hr, const CSMSMgr& manager) {
    const std::string path = Utf8(manager.m_strIniPath);
    switch (Bits(hr)) {
        case kFileNotFound:
            return "settings file " + path + " not found: write it with SetSettings";
        case kPathNotFound:
            return "settings file " + path + " not found: its folder does not exist";
        default:
            return "settings file " + path + " cannot be read: " + DescribeHResult(hr);
    }
}

std::string SettingsWriteFailure(const CSMSMgr& manager) {
    if (manager.m_strIniPath.empty()) {
        return "the settings file has no place yet: call Init first";
    }
    const std::string path = Utf8(manager.m_strIniPath);
    const std::string folder = Utf8(FolderOf(manager.m_strIniPath));
    const HRESULT cause = manager.m_hrIniFile;
    switch (Bits(cause)) {
        case kPathNotFound:
            return "settings file " + path + " could not be written: the folder " + folder +
                   " does not exist";
        case kAccessDenied:
        case 0:  // the cause is not known
            return "settings file " + path + " could not be written: the folder " + folder +
                   " needs write access";
        default:
            return "settings file " + path + " could not be written: " + DescribeHResult(cause);
    }
}

std::string RefusedInput(std::string_view method, const CSMSMgr& manager,
                         std::u16string_view number) {
    bool pdu = method == "SendPDUMessage";
    if (method == "SendMessage") {
        if (manager.m_shCharacterSet != 0 && manager.m_shCharacterSet != 1) {
            return "the stored character set " + std::to_string(manager.m_shCharacterSet) +
                   " is neither 0 (text mode) nor 1 (PDU mode): change it with SetSettings";
        }
        pdu = manager.m_shCharacterSet == 1;
    }
    if (pdu) {
        return "number " + Quoted(number) +
               " refused: in PDU mode a number holds digits, spaces, the separators - . ( ) "
               "and one leading +, with at most 20 digits";
    }
    return "number " + Quoted(number) +
           " or text refused: in text mode the number may not hold \" or control characters, "
           "the text no Ctrl-Z or ESC, and each at most 511 characters";
}

bool IsSend(std::string_view method) {
    return method == "SendTextMessage" || method == "SendPDUMessage" || method == "SendMessage";
}

// What failed, or an empty text when the method and the manager's state do not tell.
std::string Context(std::string_view method, HRESULT hr, const CSMSMgr& manager,
                    std::u16string_view number) {
    if (method == "Init") {
        if (Failed(manager.m_hrIniFile)) return SettingsReadFailure(hr, manager);
        return PortFailure(hr, manager);
    }
    if (method == "TestPort") return PortFailure(hr, manager);
    if (method == "SetSettings" && hr == kE_FAIL) return SettingsWriteFailure(manager);
    if (method == "GetDetectedCOMPortsOnHost")
        return "cannot list the ports: " + DescribeHResult(hr);
    if (!IsSend(method)) return {};

    if (hr == kE_INVALIDARG) return RefusedInput(method, manager, number);
    if (hr == kE_FAIL && manager.m_boIsINIFileLoad == 0 && manager.m_boIsPortInit == 0) {
        return "not ready to send: no settings file read and no port configured: call Init first";
    }
    if (Bits(hr) == kInvalidHandle) return "no port is open: call Init or TestPort";
    if (hr == kE_FAIL) return {};
    return "cannot write to port " + Utf8(manager.m_strPort) + ": " + DescribeHResult(hr);
}

}  // namespace

std::string FormatHResult(HRESULT hr) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(Bits(hr)));
    return text;
}

std::string DescribeHResult(HRESULT hr) {
    switch (Bits(hr)) {
        case 0x00000000u:
            return "success";
        case 0x80004005u:
            return "unspecified failure";
        case 0x80004003u:
            return "invalid pointer";
        case 0x80004002u:
            return "interface not supported";
        case 0x80004018u:
            return "the server is stopping; call again";
        case 0x80070057u:
            return "invalid argument";
        case 0x80070006u:
            return "invalid handle (no port is open)";
        case 0x8007000Eu:
            return "out of memory";
        case 0x80070002u:
            return "file not found";
        case 0x80070003u:
            return "path not found";
        case 0x80070005u:
            return "access denied";
        case 0x80070008u:
            return "not enough memory";
        case 0x8007001Du:
            return "write fault";
        case 0x80070020u:
            return "in use by another process";
        case 0x80070032u:
            return "not supported";
        case 0x80070070u:
            return "disk full";
        case 0x8007045Du:
            return "I/O device error";
        case 0x800704B0u:
            return "not a serial device";
        case 0x800704DFu:
            return "already initialized";
        default:
            break;
    }
    if ((Bits(hr) & 0xFFFF0000u) == 0x80070000u) {
        return "system error " + std::to_string(Bits(hr) & 0xFFFFu);
    }
    return "failure";
}

std::string BareFailureText(HRESULT hr) {
    return FormatHResult(hr) + ": " + DescribeHResult(hr);
}

std::string FailureText(std::string_view method, HRESULT hr, const CSMSMgr& manager,
                        std::u16string_view number) {
    std::string context = Context(method, hr, manager, number);
    if (context.empty()) context = std::string(method) + " failed: " + DescribeHResult(hr);
    return FormatHResult(hr) + ": " + context;
}

}  // namespace merel::host
