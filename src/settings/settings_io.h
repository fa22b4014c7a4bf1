// Reading and writing the whole settings file through the SettingsFileSystem seam.
#pragma once

#include <cstdint>
#include <string>

#include "base/failure.h"
#include "base/hresult.h"
#include "settings/settings_file.h"
#include "settings/settings_text.h"

namespace merel {

struct SettingsFileAccess {
    SettingsFileSystem& files;
    FileHandle& m_fileIni;
    std::int32_t& m_dwLastError;
    Failure& failure;  // what a failed read or write says
};

// The largest settings file that is read; a larger one is refused with ERROR_FILE_TOO_LARGE.
inline constexpr std::uint64_t kMaxSettingsFileBytes = 64 * 1024;

// 0 when the file was opened (whatever its content); otherwise the folded error of the open or
// of a file larger than kMaxSettingsFileBytes, with the record unchanged and the failure
// recorded.
HRESULT LoadIniFile(const SettingsFileAccess& access, const std::u16string& path,
                    SettingsRecord& record);
// 0 when the file now holds exactly the record's text; otherwise the folded error, with the
// file as it was, nothing of the save left beside it and the failure recorded.
HRESULT SaveIniFile(const SettingsFileAccess& access, const std::u16string& path,
                    const SettingsRecord& record);

}  // namespace merel
