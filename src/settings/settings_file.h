// Whole-file access to the settings file with exclusive use while it is open. Parsing and
// building the text live elsewhere and never touch a file; so does the order in which a save
// takes its steps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace merel {

// An open settings file; kNoFile while closed.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = 0;

// What stands at a path, links followed.
enum class FileKind { kMissing, kFile, kFolder, kOther };

// A Win32 error (ERROR_CANT_RESOLVE_FILENAME) for links that go round in a circle, run deeper
// than the system follows, or name a file that a path of this seam cannot name.
inline constexpr std::int32_t kUnresolvableLinks = 1921;

class SettingsFileSystem {
  public:
    virtual ~SettingsFileSystem() = default;
    // The file that `path` stands for, where a save must put the new file beside and replace:
    // `path` itself, or the file that the symbolic links from there finally name, which may be
    // missing. `kind` says what stands there. Returns 0 or a Win32 error.
    virtual std::int32_t Locate(const std::u16string& path, std::u16string& target,
                                FileKind& kind) = 0;
    // Opens an existing file for reading, with no sharing. Returns 0 or a Win32 error.
    virtual std::int32_t OpenForRead(const std::u16string& path, FileHandle& file) = 0;
    // The length of the open file in bytes. Returns 0 or a Win32 error.
    virtual std::int32_t Size(FileHandle file, std::uint64_t& bytes) = 0;
    // At most the first `limit` bytes of the file decoded to UTF-16, up to the first NUL byte.
    // Empty when the content cannot be taken (an empty file among them).
    virtual std::u16string ReadText(FileHandle file, std::uint64_t limit) = 0;
    // Opens an existing file for writing, with no sharing; never creates one (a missing file
    // gives 2, a missing folder 3).
    virtual std::int32_t OpenForWrite(const std::u16string& path, FileHandle& file) = 0;
    // Opens the file for writing, creating it when missing, with no sharing.
    virtual std::int32_t CreateForWrite(const std::u16string& path, FileHandle& file) = 0;
    // Writes the bytes at the start of the file and flushes them to the disk; on success the
    // file holds exactly these bytes. Returns 0 or a Win32 error.
    virtual std::int32_t WriteAll(FileHandle file, std::string_view bytes) = 0;
    // Puts the closed file `from` in the place of `to` in one step, replacing `to` when it
    // exists, and flushes the change to the disk. Returns 0 or a Win32 error.
    virtual std::int32_t Replace(const std::u16string& from, const std::u16string& to) = 0;
    // Deletes the closed file; a file that cannot be deleted is left as it is.
    virtual void Remove(const std::u16string& path) = 0;
    virtual void Close(FileHandle& file) = 0;
};

SettingsFileSystem& SystemSettingsFileSystem();

}  // namespace merel
