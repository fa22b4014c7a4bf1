#include "settings/settings_io.h"

#include <string>

namespace merel {

namespace {

// Keeps the settings file in m_fileIni for one call and closes it on every way out, an
// exception from a string operation included.
class OpenSettingsFile {
  public:
    explicit OpenSettingsFile(const SettingsFileAccess& access) : access_(access) {}
    ~OpenSettingsFile() { Close(); }
    OpenSettingsFile(const OpenSettingsFile&) = delete;
    OpenSettingsFile& operator=(const OpenSettingsFile&) = delete;

    std::int32_t OpenForRead(const std::u16string& path) {
        return Check(access_.files.OpenForRead(path, access_.m_fileIni));
    }
    std::int32_t OpenForWrite(const std::u16string& path) {
        return Check(access_.files.OpenForWrite(path, access_.m_fileIni));
    }
    void Close() {
        if (access_.m_fileIni != kNoFile) access_.files.Close(access_.m_fileIni);
        access_.m_fileIni = kNoFile;
    }

  private:
    // A failed open leaves no handle behind, whatever the backend put there.
    std::int32_t Check(std::int32_t error) {
        if (error != 0) access_.m_fileIni = kNoFile;
        return error;
    }
    const SettingsFileAccess& access_;
};

// The new content on its way in, beside the settings file. Unless it has taken the settings
// file's place, it is closed and deleted on every way out.
class TemporaryFile {
  public:
    TemporaryFile(SettingsFileSystem& files, const std::u16string& target)
        : files_(files), path_(target + u".new") {}
    ~TemporaryFile() {
        Close();
        if (created_) files_.Remove(path_);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    std::int32_t Create() {
        const auto error = files_.CreateForWrite(path_, file_);
        if (error != 0) {
            // Whatever is in the way under that name is not ours to delete.
            file_ = kNoFile;
            return error;
        }
        created_ = true;
        return 0;
    }
    std::int32_t Write(std::string_view bytes) { return files_.WriteAll(file_, bytes); }
    void Close() {
        if (file_ != kNoFile) files_.Close(file_);
        file_ = kNoFile;
    }
    std::int32_t ReplaceWithThis(const std::u16string& target) {
        Close();
        const auto error = files_.Replace(path_, target);
        if (error == 0) created_ = false;
        return error;
    }

  private:
    SettingsFileSystem& files_;
    const std::u16string path_;
    FileHandle file_ = kNoFile;
    bool created_ = false;
};

}  // namespace

HRESULT LoadIniFile(const SettingsFileAccess& access, const std::u16string& path,
                    SettingsRecord& record) {
    access.m_dwLastError = 0;
    std::u16string text;
    {
        OpenSettingsFile file(access);
        if (const auto error = file.OpenForRead(path); error != 0) return FoldError(error);
        std::uint64_t size = 0;
        if (const auto error = access.files.Size(access.m_fileIni, size); error != 0) {
            return FoldError(error);
        }
        // The file is a few hundred bytes when we wrote it; anything far larger is refused
        // before it can take the memory and the time to read it.
        if (size > kMaxSettingsFileBytes) return FoldError(win32::kFileTooLarge);
        text = access.files.ReadText(access.m_fileIni, size);
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

    // The settings file is held while its successor is prepared, so that a file that another
    // process holds or that may not be written refuses the save before anything is created.
    OpenSettingsFile file(access);
    if (const auto error = file.OpenForWrite(path); error != 0 && error != win32::kFileNotFound) {
        return FoldError(error);
    }
    // The whole new file goes to disk under another name and then takes the settings file's
    // place in one step: a process killed at any point leaves either the old file or the new
    // one, never the new text over the old one's tail.
    TemporaryFile next(access.files, path);
    if (const auto error = next.Create(); error != 0) return FoldError(error);
    if (const auto error = next.Write(bytes); error != 0) return FoldError(error);
    // An open file cannot be replaced on every system.
    file.Close();
    return FoldError(next.ReplaceWithThis(path));
}

}  // namespace merel
