// Reading and writing the whole settings file through the SettingsFileSystem seam.
#pragma once

#include <cstdint>
#include <string>

#include "base/hresult.h"
#include "settings/settings_file.h"
#include "settings/settings_text.h"

namespace merel {

struct SettingsFileAccess {
    SettingsFileSystem& files;
    FileHandle& m_fileIni;
    std::int32_t& m_dwLastError;
};

// 0 when the file was opened (whatever its content); otherwise the folded open error, with the
// record unchanged.
HRESULT LoadIniFile(const SettingsFileAccess& access, const std::u16string& path,
                    SettingsRecord& record);
// 0 when the file now holds exactly the record's text; otherwise the folded error.
HRESULT SaveIniFile(const SettingsFileAccess& access, const std::u16string& path,
                    const SettingsRecord& record);

}  // namespace merel
