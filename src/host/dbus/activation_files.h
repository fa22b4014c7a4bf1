// Registration on Linux: the session bus's activation file, which starts this executable for
// the first call to the bus name, and the interface description beside it.
#pragma once

#include <string>
#include <string_view>

#include "base/hresult.h"

namespace merel::dbus {

struct ActivationPaths {
    std::string serviceFile;    // <data home>/dbus-1/services/MerelSMSManager.SMSMgr.service
    std::string interfaceFile;  // <data home>/dbus-1/interfaces/MerelSMSManagerLib.ISMSMgr.xml
};

// The user's data folder: $XDG_DATA_HOME when it is an absolute path, otherwise
// $HOME/.local/share. Empty when neither is known.
std::string DataHome(const char* xdgDataHome, const char* home);
ActivationPaths ActivationPathsIn(const std::string& dataHome);

// The activation file's text for the executable at `executable`.
std::string ServiceFileText(std::string_view executable);

// Writes both files (creating their folders), the activation file first. Returns S_OK or the
// HRESULT of the failing step; the interface file is not written when the first step failed.
HRESULT WriteActivationFiles(const ActivationPaths& paths, std::string_view executable);
// Removes both files, the interface file first; a file that is not there counts as removed.
HRESULT RemoveActivationFiles(const ActivationPaths& paths);

// The same for this process: the user's data folder and this executable's own path.
HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace merel::dbus
