@echo off
rem Removes the registration of MerelSMSManager.exe from this folder. Run it as an
rem administrator; the exit code is the server's (0, or the failing HRESULT as a signed number).
rem The folder itself stays: delete it afterwards.
setlocal
set "server=%~dp0MerelSMSManager.exe"
start "" /wait "%server%" /UnregServer
set rc=%ERRORLEVEL%
rem No ( ) blocks below: the folder may hold parentheses, as in "Program Files (x86)".
if not "%rc%"=="0" goto failed
echo MerelSMSManager unregistered: %server%
exit /b 0
:failed
echo MerelSMSManager unregistration FAILED, exit code %rc%. Run this as an administrator. 1>&2
exit /b %rc%
