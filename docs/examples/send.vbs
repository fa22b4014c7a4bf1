' Sends one SMS through MerelSMSManager: cscript //nologo send.vbs PORT NUMBER TEXT
' PORT is stored first, in PDU mode, as on a fresh installation.
Set mgr = CreateObject("MerelSMSManager.SMSMgr")
On Error Resume Next
mgr.Init                          ' the first time: no SMSMgr.ini yet (0x80070002)
On Error GoTo 0
mgr.SetSettings WScript.Arguments(0), 115200, 8, 0, 0, 1, 0, 1   ' character set 1: PDU mode
mgr.Init                          ' reads SMSMgr.ini, opens and configures the port
On Error Resume Next
mgr.SendMessage WScript.Arguments(1), WScript.Arguments(2)
If Err.Number <> 0 Then
    WScript.Echo "send failed: " & Err.Description   ' the server's message, HRESULT first
    Set mgr = Nothing
    WScript.Quit 1
End If
On Error GoTo 0
mgr.GetSMSManagerStatus iniLoaded, logOpen, portOpen, portInit
WScript.Echo "sent; port open: " & portOpen & ", configured: " & portInit
Set mgr = Nothing
