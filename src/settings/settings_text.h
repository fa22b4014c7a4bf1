// The settings text: parsing and building, with no file access.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/hresult.h"

namespace merel {

// The settings with their defaults, which are also a fresh manager's.
struct SettingsRecord {
    std::u16string port;
    std::int32_t baudrate = 460800;
    std::int32_t dataBits = 8;
    std::int32_t parity = 0;
    std::int32_t stopBits = 0;
    std::int32_t handshake = 1;
    std::int32_t readTimeout = 0;
    std::int32_t characterSet = 0;

    bool operator==(const SettingsRecord&) const = default;
};

// A numeric key of the file, in the order the file lists them, with the member it sets and
// the note that the file carries after the value.
struct NumericSettingsKey {
    std::u16string_view key;
    std::int32_t SettingsRecord::*member;
    std::u16string_view note;
};
std::span<const NumericSettingsKey> NumericSettingsKeys();

// Applies every recognised line of the text to the record; keys that do not occur leave
// their values as they were, and the last occurrence of a key wins.
void ParseSettingsText(std::u16string_view text, SettingsRecord& record);

// The complete file text for the record, eight lines each ending with CR LF.
std::u16string BuildSettingsText(const SettingsRecord& record);

// The bytes to write for the record. Fails with E_INVALIDARG when the text does not fit the
// 1023-byte limit or the port name holds a character whose low 8 bits are 0, CR or LF; `why`
// then says which.
HRESULT BuildSettingsBytes(const SettingsRecord& record, std::string& bytes, std::string& why);
HRESULT BuildSettingsBytes(const SettingsRecord& record, std::string& bytes);

}  // namespace merel
