#include "settings/settings_text.h"

#include <array>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "base/narrow.h"

namespace merel {

namespace {

// The largest text that fits the 1024-byte output buffer together with its terminating zero.
constexpr std::size_t kMaxTextBytes = 1023;

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f';
}
bool IsLineEnd(char16_t c) {
    return c == u'\r' || c == u'\n';
}

// Leading blanks, an optional sign, the longest run of decimal digits; whatever follows is
// ignored and no digit gives 0. Digits beyond the 32-bit range saturate at INT32_MAX or
// INT32_MIN, so a hand-edited huge number never wraps round to a small or negative one.
std::int32_t ToDecimal(std::u16string_view value) {
    std::size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == u'+' || value[i] == u'-')) {
        negative = value[i] == u'-';
        ++i;
    }
    // Accumulated as a magnitude in 64 bits and capped just past the 32-bit range.
    constexpr std::int64_t kCap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; i < value.size() && value[i] >= u'0' && value[i] <= u'9'; ++i) {
        magnitude = magnitude * 10 + (value[i] - u'0');
        if (magnitude > kCap) magnitude = kCap;
    }
    if (negative) return static_cast<std::int32_t>(-magnitude);
    return static_cast<std::int32_t>(
        magnitude > std::numeric_limits<std::int32_t>::max() ? kCap - 1 : magnitude);
}

constexpr std::u16string_view kPortKey = u"Port:";
constexpr std::array<NumericSettingsKey, 7> kNumericKeys{{
    {u"Baudrate:", &SettingsRecord::baudrate, u""},
    {u"DataBits:", &SettingsRecord::dataBits, u""},
    {u"Parity:", &SettingsRecord::parity, u"(0=None,1=Odd,2=Even)"},
    {u"StopBits:", &SettingsRecord::stopBits, u"(0=1,1=1.5,2=2)"},
    {u"Handshaking:", &SettingsRecord::handshake, u"(0=Off,1=Hardware,2=Software)"},
    {u"ReadTimeout:", &SettingsRecord::readTimeout, u"(0=Nonblocking,1=Blockinging)"},
    {u"SMSCharacterSet:", &SettingsRecord::characterSet, u"(0=PCCP437(default),1=UCS2(PDU mode))"},
}};
constexpr std::u16string_view kLineEnd = u"\r\n";

void ApplyLine(std::u16string_view line, SettingsRecord& record) {
    const auto colon = line.find(u':');
    if (colon == std::u16string_view::npos) return;
    const std::u16string_view key = line.substr(0, colon + 1);
    const std::u16string_view value = line.substr(colon + 1);
    if (key == kPortKey) {
        record.port.assign(value);
        return;
    }
    for (const auto& numeric : kNumericKeys) {
        if (key == numeric.key) {
            record.*numeric.member = ToDecimal(value);
            return;
        }
    }
}

std::string HexUnit(char16_t unit) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(unit));
    return text;
}

void AppendNumber(std::u16string& text, std::int32_t value) {
    text += WidenLatin1(std::to_string(value));
}

}  // namespace

std::span<const NumericSettingsKey> NumericSettingsKeys() {
    return kNumericKeys;
}

void ParseSettingsText(std::u16string_view text, SettingsRecord& record) {
    // Files edited by hand may end their lines with CR LF, LF or CR alone, and may lack the
    // last line end; every one of those lines counts.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start;
        while (end < text.size() && !IsLineEnd(text[end])) ++end;
        ApplyLine(text.substr(start, end - start), record);
        if (end < text.size() && text[end] == u'\r' && end + 1 < text.size() &&
            text[end + 1] == u'\n') {
            ++end;
        }
        start = end + 1;
    }
}

std::u16string BuildSettingsText(const SettingsRecord& record) {
    std::u16string text;
    text.reserve(kMaxTextBytes + 1);
    text.append(kPortKey).append(record.port).append(kLineEnd);
    for (const auto& numeric : kNumericKeys) {
        text.append(numeric.key);
        AppendNumber(text, record.*numeric.member);
        text.append(numeric.note).append(kLineEnd);
    }
    return text;
}

HRESULT BuildSettingsBytes(const SettingsRecord& record, std::string& bytes, std::string& why) {
    // The file holds each port name unit as its low byte. A zero byte would end the text
    // early and a CR or LF the port line (Czech "č" U+010D becomes CR too): either way the
    // reader would get back another name, and perhaps other settings, than the ones stored.
    for (std::size_t i = 0; i < record.port.size(); ++i) {
        const auto low = static_cast<char16_t>(record.port[i] & 0xFF);
        if (low == 0 || IsLineEnd(low)) {
            why = "character " + std::to_string(i + 1) + " of the port name (U+" +
                  HexUnit(record.port[i]) +
                  ") would be stored as a NUL, CR or LF byte, and the file read back otherwise";
            return kE_INVALIDARG;
        }
    }
    const std::u16string text = BuildSettingsText(record);
    if (text.size() > kMaxTextBytes) {
        why = "the settings would take " + std::to_string(text.size()) +
              " bytes; the file holds at most " + std::to_string(kMaxTextBytes);
        return kE_INVALIDARG;
    }
    bytes = NarrowLow8(text, '\0');
    return kS_OK;
}

HRESULT BuildSettingsBytes(const SettingsRecord& record, std::string& bytes) {
    std::string why;
    return BuildSettingsBytes(record, bytes, why);
}

}  // namespace merel
