#include "settings/settings_io.h"

#include <string>

#include "base/narrow.h"
#include "interface/hresult_text.h"

namespace merel {

namespace {

std::u16string FolderOf(const std::u16string& path) {
    const auto cut = path.find_last_of(u"/\\");
    return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut + 1);
}

// The settings file as a message names it: the path it was given and, when a link stands
// there, the file that the link leads to.
struct Place {
    const std::u16string& path;
    std::u16string target;
    FileKind kind = FileKind::kMissing;

    std::string Name() const {
        std::string name = "settings file " + Utf16ToUtf8(path);
        if (target != path) name += " (a link to " + Utf16ToUtf8(target) + ")";
        return name;
    }
    // Why a file that could not be opened could not be, when something other than a file
    // stands there: that says more than the open's error ("access denied") does.
    std::string WhatStandsThere() const {
        const std::string it = target == path ? "it" : Utf16ToUtf8(target);
        if (kind == FileKind::kFolder) return it + " is a folder, not a file";
        if (kind == FileKind::kOther) return it + " is not a plain file";
        return {};
    }
};

HRESULT ReadFailed(const SettingsFileAccess& access, const Place& place, HRESULT hr) {
    const std::string file = place.Name();
    Failure& f = access.failure;
    f = {hr, file + " not found", {}, {}};
    if (hr == hresult::kFileNotFound) {
        f.advice = advice::kWriteSettings;
    } else if (hr == hresult::kPathNotFound) {
        f.detail = "its folder does not exist";
    } else {
        f.what = file + " cannot be read";
        if (hr == hresult::kFileTooLarge) {
            f.detail = "it is larger than " + std::to_string(kMaxSettingsFileBytes) + " bytes";
        } else if (hr == FoldError(kUnresolvableLinks)) {
            f.detail = "its links cannot be followed to a file";
        } else if (!place.WhatStandsThere().empty()) {
            f.detail = place.WhatStandsThere();
        } else {
            f.detail = wire::DescribeHResult(hr);
        }
    }
    return hr;
}

HRESULT WriteFailed(const SettingsFileAccess& access, const Place& place, HRESULT hr,
                    std::string detail = {}) {
    if (detail.empty()) {
        // The new file is made in the folder of the file that the links lead to.
        const std::string folder = Utf16ToUtf8(FolderOf(place.target));
        if (hr == hresult::kPathNotFound) {
            detail = "the folder " + folder + " does not exist";
        } else if (hr == FoldError(kUnresolvableLinks)) {
            detail = "its links cannot be followed to a file";
        } else if (!place.WhatStandsThere().empty()) {
            detail = place.WhatStandsThere();
        } else if (hr == hresult::kAccessDenied) {
            detail = "the folder " + folder + " needs write access";
        } else {
            detail = wire::DescribeHResult(hr);
        }
    }
    access.failure = {hr, place.Name() + " could not be written", std::move(detail), {}};
    return hr;
}

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
    Place place{path, path};
    if (const auto error = access.files.Locate(path, place.target, place.kind); error != 0) {
        return ReadFailed(access, place, FoldError(error));
    }
    std::u16string text;
    {
        OpenSettingsFile file(access);
        if (const auto error = file.OpenForRead(place.target); error != 0) {
            return ReadFailed(access, place, FoldError(error));
        }
        std::uint64_t size = 0;
        if (const auto error = access.files.Size(access.m_fileIni, size); error != 0) {
            return ReadFailed(access, place, FoldError(error));
        }
        // The file is a few hundred bytes when we wrote it; anything far larger is refused
        // before it can take the memory and the time to read it.
        if (size > kMaxSettingsFileBytes) return ReadFailed(access, place, hresult::kFileTooLarge);
        text = access.files.ReadText(access.m_fileIni, size);
    }
    // Parsed after the close: the file is held only as long as its bytes are being taken.
    ParseSettingsText(text, record);
    return kS_OK;
}

HRESULT SaveIniFile(const SettingsFileAccess& access, const std::u16string& path,
                    const SettingsRecord& record) {
    access.m_dwLastError = 0;
    Place place{path, path};
    // Built first, so that a record that cannot be written leaves the file untouched.
    std::string bytes;
    std::string refused;
    if (const HRESULT hr = BuildSettingsBytes(record, bytes, refused); Failed(hr)) {
        return WriteFailed(access, place, hr, refused);
    }
    // A link in the settings file's place stays: the file it leads to is the one replaced,
    // from a new file beside that one, since a rename works only within one file system.
    if (const auto error = access.files.Locate(path, place.target, place.kind); error != 0) {
        return WriteFailed(access, place, FoldError(error));
    }
    const std::u16string& target = place.target;

    // The settings file is held while its successor is prepared, so that a file that another
    // process holds or that may not be written refuses the save before anything is created.
    OpenSettingsFile file(access);
    if (const auto error = file.OpenForWrite(target); error != 0 && error != win32::kFileNotFound) {
        return WriteFailed(access, place, FoldError(error));
    }
    // The whole new file goes to disk under another name and then takes the settings file's
    // place in one step: a process killed at any point leaves either the old file or the new
    // one, never the new text over the old one's tail.
    TemporaryFile next(access.files, target);
    if (const auto error = next.Create(); error != 0) {
        return WriteFailed(access, place, FoldError(error));
    }
    if (const auto error = next.Write(bytes); error != 0) {
        return WriteFailed(access, place, FoldError(error));
    }
    // An open file cannot be replaced on every system.
    file.Close();
    if (const auto error = next.ReplaceWithThis(target); error != 0) {
        return WriteFailed(access, place, FoldError(error));
    }
    return kS_OK;
}

}  // namespace merel
