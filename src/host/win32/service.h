// Service mode: the server registered as the Windows service MerelSMSManager, which COM starts
// (through the AppID's LocalService) for every client, whatever user or session it runs in.
#pragma once

#include <optional>
#include <string>

#include "base/failure.h"
#include "host/win32/com_headers.h"

namespace merel::host {

class CMerelSMSManagerModule;

// After the plain registration: the senders' group (made when missing), the service (made, or
// pointed at this executable again), and the AppID's LocalService and permissions. A failure
// is said on standard error, naming the step, and returned.
HRESULT RegisterService();
// Stops the service if it runs, deletes it and removes the AppID's service values. Nothing
// registered is no failure. The senders' group stays: it may hold members.
HRESULT UnregisterService();

// Runs the process as the service, under the service control manager: serves as the plain
// server does and reports its state. Returns when the service has stopped.
HRESULT RunService(CMerelSMSManagerModule& module);

// Whether this process runs as the service.
bool RunsAsService();
// Where the service keeps SMSMgr.ini (%ProgramData%\MerelSMSManager); empty outside the
// service.
std::u16string ServiceSettingsFolder();
// In the service, a SetSettings by a caller who is not an administrator is refused: the
// settings name the device that the service writes to for everybody. Says why, or nothing
// when the call may go ahead.
std::optional<Failure> RefusedSettingsChange();

}  // namespace merel::host
