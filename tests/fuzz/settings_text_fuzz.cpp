// Settings text: any bytes parse without harm, and every record the writer accepts reads back
// as it was stored (its port name narrowed to 8 bits, which is all the file holds).
#include <cstdint>
#include <string>

#include "base/narrow.h"
#include "fuzz_input.h"
#include "settings/settings_text.h"

using namespace merel;

namespace {

SettingsRecord ReadBack(const std::string& bytes) {
    SettingsRecord record;
    ParseSettingsText(WidenLatin1(bytes.substr(0, bytes.find('\0'))), record);
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input as a file's content.
    const std::string file(reinterpret_cast<const char*>(data), size);
    const SettingsRecord parsed = ReadBack(file);

    // The input as a record that a client might store.
    fuzz::FuzzInput in(data, size);
    SettingsRecord stored;
    stored.baudrate = in.Int32();
    stored.dataBits = in.Int32();
    stored.parity = in.Int32();
    stored.stopBits = in.Int32();
    stored.handshake = in.Int32();
    stored.readTimeout = in.Int32();
    stored.characterSet = in.Int32();
    stored.port = in.String();

    for (const SettingsRecord& record : {parsed, stored}) {
        std::string bytes;
        if (Failed(BuildSettingsBytes(record, bytes))) continue;
        SettingsRecord expected = record;
        expected.port = WidenLatin1(NarrowLow8(record.port, '\0'));
        fuzz::Require(ReadBack(bytes) == expected);
    }
    return 0;
}
