// Settings file access on POSIX systems. Exclusive use comes from flock, which every open of
// this backend takes; bytes are ISO-8859-1, so ASCII reads back as ASCII.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include "base/errno_map.h"
#include "base/hresult.h"
#include "base/narrow.h"
#include "settings/settings_file.h"

namespace merel {

namespace {

// The handle is the descriptor plus one, so that descriptor 0 never looks like kNoFile.
int Descriptor(FileHandle file) {
    return static_cast<int>(file - 1);
}
FileHandle Handle(int fd) {
    return static_cast<FileHandle>(fd) + 1;
}

// The name ends at its first NUL, as a Windows file name does.
std::string FileName(const std::u16string& path) {
    return Utf16ToUtf8(UpToNul(path));
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// ENOENT stands for a missing file when its folder exists and for a missing folder otherwise.
std::int32_t OpenError(int err, const std::string& path) {
    if (err != ENOENT) return Win32ErrorFromErrno(err);
    struct stat info {};
    const bool folderExists = ::stat(FolderOf(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    return Win32ErrorFromErrno(err, folderExists ? ErrnoContext::kFile : ErrnoContext::kFolder);
}

std::int32_t Open(const std::u16string& path, int flags, FileHandle& file) {
    file = kNoFile;
    // An empty name names no path at all.
    const std::string name = FileName(path);
    if (name.empty()) return win32::kPathNotFound;
    // O_NONBLOCK keeps a FIFO in the settings file's place from blocking the open.
    const int fd = ::open(name.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return OpenError(errno, name);
    struct stat info {};
    int err = 0;
    if (::fstat(fd, &info) != 0) {
        err = errno;
    } else if (!S_ISREG(info.st_mode)) {
        // Only a regular file can be a settings file.
        err = S_ISDIR(info.st_mode) ? EISDIR : EACCES;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::close(fd);
        return Win32ErrorFromErrno(err);
    }
    file = Handle(fd);
    return 0;
}

FileKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::kFile;
    return S_ISDIR(mode) ? FileKind::kFolder : FileKind::kOther;
}

// As many links as Linux follows in one path.
constexpr int kMaxLinks = 40;

class PosixSettingsFiles final : public SettingsFileSystem {
  public:
    // Administrators keep SMSMgr.ini in /etc with a link in its place; a save that renamed
    // over the link would leave the file in /etc stale. The links are followed one by one
    // rather than with realpath, which refuses a link whose file is missing: such a link
    // names where a first save puts the file.
    std::int32_t Locate(const std::u16string& path, std::u16string& target,
                        FileKind& kind) override {
        target = path;
        kind = FileKind::kMissing;
        std::string name = FileName(path);
        if (name.empty()) return win32::kPathNotFound;
        int links = 0;
        for (;; ++links) {
            struct stat info {};
            if (::lstat(name.c_str(), &info) != 0) {
                // A missing file or folder is for the open to report.
                if (errno == ENOENT) break;
                return OpenError(errno, name);
            }
            if (!S_ISLNK(info.st_mode)) {
                kind = KindOf(info.st_mode);
                break;
            }
            if (links == kMaxLinks) return kUnresolvableLinks;
            std::string text(PATH_MAX, '\0');
            const ssize_t n = ::readlink(name.c_str(), text.data(), text.size());
            if (n < 0) return Win32ErrorFromErrno(errno);
            if (n == 0 || static_cast<std::size_t>(n) == text.size()) return kUnresolvableLinks;
            text.resize(static_cast<std::size_t>(n));
            // A relative link counts from the folder that holds it, as the kernel reads it.
            if (text.front() != '/') {
                const std::string folder = FolderOf(name);
                text = (folder == "/" ? "" : folder) + "/" + text;
            }
            name = std::move(text);
        }
        if (links == 0) return 0;
        target = Utf8ToUtf16(name);
        // A name that is not UTF-8 would come back as another file's name.
        if (Utf16ToUtf8(target) != name) {
            target = path;
            return kUnresolvableLinks;
        }
        return 0;
    }

    std::int32_t OpenForRead(const std::u16string& path, FileHandle& file) override {
        return Open(path, O_RDONLY, file);
    }

    std::int32_t Size(FileHandle file, std::uint64_t& bytes) override {
        struct stat info {};
        if (::fstat(Descriptor(file), &info) != 0) return Win32ErrorFromErrno(errno);
        bytes = static_cast<std::uint64_t>(info.st_size);
        return 0;
    }

    std::u16string ReadText(FileHandle file, std::uint64_t limit) override {
        const int fd = Descriptor(file);
        std::string bytes;
        char buffer[4096];
        while (bytes.size() < limit) {
            const auto wanted = static_cast<std::size_t>(
                std::min<std::uint64_t>(sizeof buffer, limit - bytes.size()));
            const ssize_t n = ::pread(fd, buffer, wanted, static_cast<off_t>(bytes.size()));
            if (n < 0 && errno == EINTR) continue;
            // Content that cannot be taken whole counts as no content.
            if (n < 0) return {};
            if (n == 0) break;
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return WidenLatin1(bytes.substr(0, bytes.find('\0')));
    }

    std::int32_t OpenForWrite(const std::u16string& path, FileHandle& file) override {
        return Open(path, O_WRONLY, file);
    }

    std::int32_t CreateForWrite(const std::u16string& path, FileHandle& file) override {
        // No O_TRUNC: a file that another process holds must not lose its content. A link in
        // the file's place is refused rather than followed to some other file.
        return Open(path, O_WRONLY | O_CREAT | O_NOFOLLOW, file);
    }

    std::int32_t WriteAll(FileHandle file, std::string_view bytes) override {
        const int fd = Descriptor(file);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Win32ErrorFromErrno(errno);
            if (n == 0) return win32::kWriteFault;
            done += static_cast<std::size_t>(n);
        }
        // Cut only after the write succeeded, so that a failed write never leaves an empty
        // file behind.
        while (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) {
            if (errno != EINTR) return Win32ErrorFromErrno(errno);
        }
        if (::fsync(fd) != 0) return Win32ErrorFromErrno(errno);
        return 0;
    }

    std::int32_t Replace(const std::u16string& from, const std::u16string& to) override {
        const std::string target = FileName(to);
        if (::rename(FileName(from).c_str(), target.c_str()) != 0) {
            return Win32ErrorFromErrno(errno);
        }
        // The new name lasts only once the folder is on the disk too. The file is in its
        // place already, so a folder that cannot be flushed is no failure of the save.
        const int folder = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
        return 0;
    }

    void Remove(const std::u16string& path) override { ::unlink(FileName(path).c_str()); }

    void Close(FileHandle& file) override {
        if (file != kNoFile) ::close(Descriptor(file));
        file = kNoFile;
    }
};

}  // namespace

SettingsFileSystem& SystemSettingsFileSystem() {
    static PosixSettingsFiles files;
    return files;
}

}  // namespace merel
