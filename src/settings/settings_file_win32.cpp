// Settings file access on Windows: share mode 0 for exclusive use, a read-only mapping of the
// whole file, and the thread's ANSI code page for the bytes.
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <string>

#include "base/hresult.h"
#include "settings/settings_file.h"

namespace merel {

namespace {

HANDLE ToHandle(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

const wchar_t* WidePath(const std::u16string& path) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return reinterpret_cast<const wchar_t*>(path.c_str());
}

std::int32_t LastError() {
    return static_cast<std::int32_t>(::GetLastError());
}

std::int32_t Open(const std::u16string& path, DWORD access, DWORD disposition, FileHandle& file) {
    file = kNoFile;
    const HANDLE h = ::CreateFileW(WidePath(path), access, 0, nullptr, disposition,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    file = reinterpret_cast<FileHandle>(h);
    return 0;
}

// Releases a mapping object or a mapped view on every way out of ReadText.
class MappingHandle {
  public:
    explicit MappingHandle(HANDLE h) : h_(h) {}
    ~MappingHandle() {
        if (h_ != nullptr) ::CloseHandle(h_);
    }
    MappingHandle(const MappingHandle&) = delete;
    MappingHandle& operator=(const MappingHandle&) = delete;
    HANDLE get() const { return h_; }

  private:
    HANDLE h_;
};

class MappedView {
  public:
    explicit MappedView(void* view) : view_(view) {}
    ~MappedView() {
        if (view_ != nullptr) ::UnmapViewOfFile(view_);
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    const char* get() const { return static_cast<const char*>(view_); }

  private:
    void* view_;
};

class Win32SettingsFiles final : public SettingsFileSystem {
  public:
    // Links are not followed to their files here, so a save puts a plain file in a link's
    // place: making a file link on Windows takes a privilege seldom used for a settings file.
    std::int32_t Locate(const std::u16string& path, std::u16string& target,
                        FileKind& kind) override {
        target = path;
        const DWORD attributes = ::GetFileAttributesW(WidePath(path));
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            // A missing file, or one that cannot be looked at: the open says which.
            kind = FileKind::kMissing;
        } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            kind = FileKind::kFolder;
        } else {
            kind = FileKind::kFile;
        }
        return 0;
    }

    std::int32_t OpenForRead(const std::u16string& path, FileHandle& file) override {
        return Open(path, FILE_READ_DATA, OPEN_EXISTING, file);
    }

    std::int32_t Size(FileHandle file, std::uint64_t& bytes) override {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(ToHandle(file), &size)) return LastError();
        bytes = static_cast<std::uint64_t>(size.QuadPart);
        return 0;
    }

    std::u16string ReadText(FileHandle file, std::uint64_t limit) override {
        const HANDLE h = ToHandle(file);
        // An empty view cannot be mapped; one beyond the address space cannot either.
        if (limit == 0 || limit != static_cast<std::size_t>(limit)) return {};
        const auto size = static_cast<std::size_t>(limit);
        const MappingHandle mapping(::CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (mapping.get() == nullptr) return {};
        const MappedView view(::MapViewOfFileEx(mapping.get(), FILE_MAP_READ, 0, 0, size, nullptr));
        if (view.get() == nullptr) return {};

        const void* nul = std::memchr(view.get(), 0, size);
        const std::size_t length =
            nul == nullptr ? size
                           : static_cast<std::size_t>(static_cast<const char*>(nul) - view.get());
        if (length == 0 || length > INT_MAX) return {};
        const int bytes = static_cast<int>(length);
        const int units = ::MultiByteToWideChar(CP_THREAD_ACP, 0, view.get(), bytes, nullptr, 0);
        if (units <= 0) return {};
        std::u16string text(static_cast<std::size_t>(units), u'\0');
        const int converted = ::MultiByteToWideChar(CP_THREAD_ACP, 0, view.get(), bytes,
                                                    reinterpret_cast<wchar_t*>(text.data()), units);
        if (converted <= 0) return {};
        text.resize(static_cast<std::size_t>(converted));
        return text;
    }

    std::int32_t OpenForWrite(const std::u16string& path, FileHandle& file) override {
        return Open(path, FILE_WRITE_DATA, OPEN_EXISTING, file);
    }

    std::int32_t CreateForWrite(const std::u16string& path, FileHandle& file) override {
        // FlushFileBuffers needs the full write access, not only FILE_WRITE_DATA.
        return Open(path, GENERIC_WRITE, OPEN_ALWAYS, file);
    }

    std::int32_t WriteAll(FileHandle file, std::string_view bytes) override {
        const HANDLE h = ToHandle(file);
        if (bytes.size() > MAXDWORD) return win32::kInvalidParameter;
        if (::SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
            return LastError();
        }
        DWORD written = 0;
        if (!::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
            return LastError();
        }
        // Cut only after the write succeeded, so that a failed write never leaves an empty
        // file behind. The file pointer stands right behind the bytes just written.
        if (!::SetEndOfFile(h)) return LastError();
        if (!::FlushFileBuffers(h)) return LastError();
        return 0;
    }

    std::int32_t Replace(const std::u16string& from, const std::u16string& to) override {
        if (!::MoveFileExW(WidePath(from), WidePath(to),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return LastError();
        }
        return 0;
    }

    void Remove(const std::u16string& path) override { ::DeleteFileW(WidePath(path)); }

    void Close(FileHandle& file) override {
        if (file != kNoFile) ::CloseHandle(ToHandle(file));
        file = kNoFile;
    }
};

}  // namespace

SettingsFileSystem& SystemSettingsFileSystem() {
    static Win32SettingsFiles files;
    return files;
}

}  // namespace merel
