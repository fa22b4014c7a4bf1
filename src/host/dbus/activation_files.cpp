#include "host/dbus/activation_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/errno_map.h"
#include "interface/description.h"
#include "interface/instance_name.h"
#include "interface/names.h"

namespace merel::dbus {

namespace {

HRESULT FromErrno(int err, ErrnoContext context = ErrnoContext::kFile) {
    return FoldError(Win32ErrorFromErrno(err, context));
}

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// Writes the whole file under a temporary name and renames it into place, so that the bus
// never reads half a file.
HRESULT WriteWholeFile(const std::string& path, std::string_view content) {
    if (const std::int32_t error = MakeFolders(FolderOf(path), 0755); error != 0) {
        return FoldError(error);
    }
    const std::string temporary = path + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return FromErrno(errno);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            close(fd);
            unlink(temporary.c_str());
            return FromErrno(err);
        }
        done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0) {
        const int err = errno;
        unlink(temporary.c_str());
        return FromErrno(err);
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int err = errno;
        unlink(temporary.c_str());
        return FromErrno(err);
    }
    return kS_OK;
}

HRESULT RemoveFile(const std::string& path) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return kS_OK;
    return FromErrno(errno);
}

// The bus reads Exec= like a shell command line: quote the path unless it is plain.
std::string QuoteForExec(std::string_view path) {
    bool plain = !path.empty();
    for (char c : path) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-' ||
                          c == '+' || c == ',' || c == ':' || c == '@';
        plain = plain && safe;
    }
    if (plain) return std::string(path);
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Empty paths when the user's data folder is unknown.
ActivationPaths OwnPaths(std::string_view instance) {
    std::string fallbackHome;
    const std::string dataHome = DataHome(std::getenv("XDG_DATA_HOME"), HomeFolder(fallbackHome));
    if (dataHome.empty()) return {};
    return ActivationPathsIn(dataHome, instance);
}

}  // namespace

std::string OwnExecutable() {
    std::string buffer(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

std::int32_t MakeFolders(const std::string& path, mode_t mode) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            return Win32ErrorFromErrno(errno, ErrnoContext::kFolder);
        }
        if (slash == std::string::npos) break;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::kFolder);
    if (!S_ISDIR(st.st_mode)) return win32::kPathNotFound;
    return 0;
}

std::string XdgHome(const char* xdgValue, const char* home, std::string_view underHome) {
    // Relative values are invalid by the base-directory rules and are ignored.
    if (xdgValue != nullptr && xdgValue[0] == '/') return xdgValue;
    if (home != nullptr && home[0] == '/') return std::string(home) + "/" + std::string(underHome);
    return {};
}

std::string DataHome(const char* xdgDataHome, const char* home) {
    return XdgHome(xdgDataHome, home, ".local/share");
}

const char* HomeFolder(std::string& fallback) {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        fallback = pw->pw_dir;
        return fallback.c_str();
    }
    return nullptr;
}

ActivationPaths ActivationPathsIn(const std::string& dataHome, std::string_view instance) {
    std::string base = dataHome;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    ActivationPaths paths{base + "/dbus-1/services/" + wire::InstanceBusName(instance) + ".service",
                          {}};
    for (const wire::InterfaceDescription& interface : wire::Interfaces()) {
        paths.interfaceFiles.push_back(base + "/dbus-1/interfaces/" + interface.name + ".xml");
    }
    return paths;
}

std::string ServiceFileText(std::string_view executable, std::string_view instance,
                            bool userSettings) {
    std::string text = "[D-BUS Service]\nName=" + wire::InstanceBusName(instance) +
                       "\nExec=" + QuoteForExec(executable);
    if (userSettings) text += " --user-settings";
    // The name needs no quoting: it holds letters, digits and '_' only.
    if (!instance.empty()) text.append(" --instance ").append(instance);
    return text + "\n";
}

HRESULT WriteActivationFiles(const ActivationPaths& paths, std::string_view executable,
                             std::string_view instance, bool userSettings) {
    if (const HRESULT hr =
            WriteWholeFile(paths.serviceFile, ServiceFileText(executable, instance, userSettings));
        Failed(hr)) {
        return hr;
    }
    const auto interfaces = wire::Interfaces();
    for (std::size_t i = 0; i < interfaces.size() && i < paths.interfaceFiles.size(); ++i) {
        if (const HRESULT hr =
                WriteWholeFile(paths.interfaceFiles[i], wire::InterfaceDocument(interfaces[i]));
            Failed(hr)) {
            return hr;
        }
    }
    return kS_OK;
}

HRESULT RemoveActivationFiles(const ActivationPaths& paths, std::string_view instance) {
    // Other instances, and the plain service, still use the interface files.
    if (instance.empty()) {
        for (const std::string& file : paths.interfaceFiles) {
            if (const HRESULT hr = RemoveFile(file); Failed(hr)) return hr;
        }
    }
    return RemoveFile(paths.serviceFile);
}

HRESULT RegisterServer(std::string_view instance, bool userSettings) {
    const ActivationPaths paths = OwnPaths(instance);
    const std::string executable = OwnExecutable();
    if (paths.serviceFile.empty() || executable.empty()) {
        return FoldError(win32::kPathNotFound);
    }
    return WriteActivationFiles(paths, executable, instance, userSettings);
}

HRESULT UnregisterServer(std::string_view instance) {
    const ActivationPaths paths = OwnPaths(instance);
    if (paths.serviceFile.empty()) return FoldError(win32::kPathNotFound);
    return RemoveActivationFiles(paths, instance);
}

}  // namespace merel::dbus
