#include "settings/settings_io.h"

#include <string>

namespace merel {

namespace {

// Keeps the settings file in m_fileIni for one call and closes it on every way out, an
// exception from a string operation included.
class OpenSettingsFile {
  public:
    explicit OpenSettingsFile(const SettingsFileAccess& access) : access_(access) {}
    ~OpenSettingsFile() {
        if (access_.m_fileIni != kNoFile) access_.files.Close(access_.m_fileIni);
        access_.m_fileIni = kNoFile;
    }
    OpenSettingsFile(const OpenSettingsFile&) = delete;
    OpenSettingsFile& operator=(const OpenSettingsFile&) = delete;

    std::int32_t OpenForRead(const std::u16string& path) {
        return Check(access_.files.OpenForRead(path, access_.m_fileIni));
    }
    std::int32_t OpenForWrite(const std::u16string& path) {
        return Check(access_.files.OpenForWrite(path, access_.m_fileIni));
    }

  private:
    // A failed open leaves no handle behind, whatever the backend put there.
    std::int32_t Check(std::int32_t error) {
        if (error != 0) access_.m_fileIni = kNoFile;
        return error;
    }
    const SettingsFileAccess& access_;
};

}  // namespace

HRESULT LoadIniFile(const SettingsFileAccess& access, const std::u16string& path,
                    SettingsRecord& record) {
    access.m_dwLastError = 0;
    std::u16string text;
    {
        OpenSettingsFile file(access);
        if (const auto error = file.OpenForRead(path); error != 0) return FoldError(error);
        text = access.files.ReadText(access.m_fileIni);
    }
    // Parsed after the close: the file is held only as long as its bytes are being taken.
    ParseSettingsText(text, record);
    return kS_OK;
}

HRESULT SaveIniFile(const SettingsFileAccess& access, const std::u16string& path,
                    const SettingsRecord& record) {
    access.m_dwLastError = 0;
    // Built first, so that a record that cannot be written leaves the file untouched.
    std::string bytes;
    if (const HRESULT hr = BuildSettingsBytes(record, bytes); Failed(hr)) return hr;
    OpenSettingsFile file(access);
    if (const auto error = file.OpenForWrite(path); error != 0) return FoldError(error);
    return FoldError(access.files.WriteAll(access.m_fileIni, bytes));
}

}  // namespace merel
