// The settings files of a service that keeps SMSMgr.ini in the user's own folder, which is made
// (with any missing parents) on the first save rather than when the service starts, so that a
// user who only sends from a ready-made configuration never gets an empty folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "settings/settings_file.h"

namespace merel::dbus {

class FolderMakingFiles final : public SettingsFileSystem {
  public:
    // `makeFolder` makes the folder and its missing parents, and returns 0 or a Win32 error.
    using MakeFolder = std::int32_t (*)(const std::string& folder);
    FolderMakingFiles(SettingsFileSystem& files, std::string folder, MakeFolder makeFolder)
        : files_(files), folder_(std::move(folder)), makeFolder_(makeFolder) {}

    std::int32_t Locate(const std::u16string& path, std::u16string& target,
                        FileKind& kind) override {
        return files_.Locate(path, target, kind);
    }
    std::int32_t OpenForRead(const std::u16string& path, FileHandle& file) override {
        return files_.OpenForRead(path, file);
    }
    std::int32_t Size(FileHandle file, std::uint64_t& bytes) override {
        return files_.Size(file, bytes);
    }
    std::u16string ReadText(FileHandle file, std::uint64_t limit) override {
        return files_.ReadText(file, limit);
    }
    // A save starts here: the folder is made first, each time, since it may have been removed
    // while the service ran.
    std::int32_t OpenForWrite(const std::u16string& path, FileHandle& file) override {
        file = kNoFile;
        if (const std::int32_t error = makeFolder_(folder_); error != 0) return error;
        return files_.OpenForWrite(path, file);
    }
    std::int32_t CreateForWrite(const std::u16string& path, FileHandle& file) override {
        return files_.CreateForWrite(path, file);
    }
    std::int32_t WriteAll(FileHandle file, std::string_view bytes) override {
        return files_.WriteAll(file, bytes);
    }
    std::int32_t Replace(const std::u16string& from, const std::u16string& to) override {
        return files_.Replace(from, to);
    }
    void Remove(const std::u16string& path) override { files_.Remove(path); }
    void Close(FileHandle& file) override { files_.Close(file); }

  private:
    SettingsFileSystem& files_;
    std::string folder_;
    MakeFolder makeFolder_;
};

}  // namespace merel::dbus
