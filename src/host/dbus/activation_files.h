// Registration on Linux: the session bus's activation file, which starts this executable for
// the first call to the bus name, and the interface descriptions beside it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/hresult.h"

namespace merel::dbus {

struct ActivationPaths {
    // <data home>/dbus-1/services/<bus name>.service: MerelSMSManager.SMSMgr.service, or
    // MerelSMSManager.SMSMgr.NAME.service for an instance.
    std::string serviceFile;
    // <data home>/dbus-1/interfaces/<interface>.xml, one per interface in the order of
    // wire::Interfaces().
    std::vector<std::string> interfaceFiles;
};

// Makes `path` and its missing parents with `mode`. Returns 0 or a Win32 error.
std::int32_t MakeFolders(const std::string& path, mode_t mode);

// A base folder of the user's: the XDG variable's value when it is an absolute path,
// otherwise `underHome` in $HOME. Empty when neither is known.
std::string XdgHome(const char* xdgValue, const char* home, std::string_view underHome);
// The user's data folder: $XDG_DATA_HOME, by default $HOME/.local/share.
std::string DataHome(const char* xdgDataHome, const char* home);
// $HOME, or the user database's home folder when it is not set; null when neither is known.
// The storage of the database's answer lives in `fallback`.
const char* HomeFolder(std::string& fallback);
// `instance` empty: the plain service's.
ActivationPaths ActivationPathsIn(const std::string& dataHome, std::string_view instance = {});

// The activation file's text for the executable at `executable`, started as `instance` when
// that is not empty, and with --user-settings when `userSettings`.
std::string ServiceFileText(std::string_view executable, std::string_view instance = {},
                            bool userSettings = false);

// Writes the files (creating their folders), the activation file first. Returns S_OK or the
// HRESULT of the failing step; no interface file is written when the first step failed.
HRESULT WriteActivationFiles(const ActivationPaths& paths, std::string_view executable,
                             std::string_view instance = {}, bool userSettings = false);
// Removes the files, the interface files first; a file that is not there counts as removed.
// The interface files are shared by every instance: only the plain service's removal (an empty
// `instance`) takes them.
HRESULT RemoveActivationFiles(const ActivationPaths& paths, std::string_view instance = {});

// The same for this process: the user's data folder and this executable's own path.
HRESULT RegisterServer(std::string_view instance = {}, bool userSettings = false);
HRESULT UnregisterServer(std::string_view instance = {});

// This executable's path; empty when it cannot be told.
std::string OwnExecutable();

}  // namespace merel::dbus
