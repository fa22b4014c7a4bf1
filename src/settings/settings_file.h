// Whole-file access to the settings file with exclusive use while it is open. Parsing and
// building the text live elsewhere and never touch a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace merel {

// An open settings file; kNoFile while closed.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = 0;

class SettingsFileSystem {
  public:
    virtual ~SettingsFileSystem() = default;
    // Opens an existing file for reading, with no sharing. Returns 0 or a Win32 error.
    virtual std::int32_t OpenForRead(const std::u16string& path, FileHandle& file) = 0;
    // The whole file decoded to UTF-16, up to the end or the first NUL byte. Empty when the
    // content cannot be taken (an empty file among them).
    virtual std::u16string ReadText(FileHandle file) = 0;
    // Opens the file for writing, creating it when missing, with no sharing.
    virtual std::int32_t OpenForWrite(const std::u16string& path, FileHandle& file) = 0;
    // Writes the bytes at the start of the file in one write; on success the file holds
    // exactly these bytes. Returns 0 or a Win32 error.
    virtual std::int32_t WriteAll(FileHandle file, std::string_view bytes) = 0;
    virtual void Close(FileHandle& file) = 0;
};

SettingsFileSystem& SystemSettingsFileSystem();

}  // namespace merel
