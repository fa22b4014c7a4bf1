@echo off
rem Registers MerelSMSManager.exe from this folder as the automation server
rem MerelSMSManager.SMSMgr. Run it as an administrator; the exit code is the server's
rem (0, or the failing HRESULT as a signed number).
setlocal
set "server=%~dp0MerelSMSManager.exe"
rem The server is a windowed program: wait for it so that its exit code is known.
start "" /wait "%server%" /RegServer
set rc=%ERRORLEVEL%
rem No ( ) blocks below: the folder may hold parentheses, as in "Program Files (x86)".
if not "%rc%"=="0" goto failed
echo MerelSMSManager registered: %server%
exit /b 0
:failed
echo MerelSMSManager registration FAILED, exit code %rc%. Run this as an administrator. 1>&2
exit /b %rc%
