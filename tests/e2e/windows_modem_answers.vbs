' A script client of the second interface, late bound as VBScript users call it, against
' simulated modems that answer as real ones do, that refuse, and that say nothing. Prints
' "ok - ..." / "not ok - ..." per check and, as its last line, "DONE fails=N" (cscript exits 0
' even when a script error stops it).
'   cscript //nologo windows_modem_answers.vbs OKPORT SILENTPORT REFUSEPORT REFUSECMGSPORT
' OKPORT answers OK and confirms each SMS; SILENTPORT never answers; REFUSEPORT answers every
' SMS "+CMS ERROR: 330"; REFUSECMGSPORT answers AT+CMGS "+CMS ERROR: 38".
Option Explicit

Dim fails : fails = 0

Sub Check(passed, name, detail)
    If passed Then
        WScript.Echo "ok - vbscript: " & name
    Else
        fails = fails + 1
        WScript.Echo "not ok - vbscript: " & name & " (" & detail & ")"
    End If
End Sub

Dim okPort : okPort = WScript.Arguments(0)
Dim silentPort : silentPort = WScript.Arguments(1)
Dim refusePort : refusePort = WScript.Arguments(2)
Dim refuseCmgsPort : refuseCmgsPort = WScript.Arguments(3)

Dim o : Set o = CreateObject("MerelSMSManager.SMSMgr")
Dim hr, description, reference

' Stores the port (text mode, or PDU mode with pdu) and opens it; says whether that worked.
Function UsePort(port, pdu)
    Dim charset : charset = 0
    If pdu Then charset = 1
    On Error Resume Next
    o.Init  ' finds where the settings go; the settings file may be missing
    Err.Clear
    o.SetSettings port, 9600, 8, 0, 0, 1, 0, charset
    o.Init
    UsePort = (Err.Number = 0)
    Err.Clear
End Function

' Sends through SendConfirmed; the reference, or Empty with hr and description set on failure.
Sub SendConfirmed(text, mode)
    reference = Empty
    On Error Resume Next
    Err.Clear
    reference = o.SendConfirmed("+49 170 1234567", text, mode)
    hr = Right("0000000" & Hex(Err.Number), 8)
    description = Err.Description
    Err.Clear
End Sub

' ---------------------------------------------------------------- a modem that confirms
Check UsePort(okPort, False), "Init on the answering modem", ""
SendConfirmed "First", 0
Check hr = "00000000" And TypeName(reference) = "Long" And reference = 0, _
    "SendConfirmed in text mode gives the modem's reference 0", hr & " " & TypeName(reference) & _
    " " & reference & " " & description
' Mode -1 takes the stored character set: PDU mode here.
o.SetSettings okPort, 9600, 8, 0, 0, 1, 0, 1
SendConfirmed "Second", -1
Check hr = "00000000" And reference = 1, _
    "SendConfirmed in the stored mode (PDU) gives the next reference, 1", _
    hr & " " & reference & " " & description
SendConfirmed "Third", 2
' E_INVALIDARG, which VBScript may report as its own error 5.
Dim refused : refused = hr = "80070057" Or hr = "00000005"
Check refused And InStr(description, "mode 2") > 0, "SendConfirmed refuses mode 2 and names it", _
    hr & " " & description

Dim count, lines
On Error Resume Next
Err.Clear
lines = o.CheckModem(count)
hr = Right("0000000" & Hex(Err.Number), 8)
description = Err.Description
On Error GoTo 0
' An array of strings, as GetDetectedCOMPortsOnHost gives; the C++ client reads its elements.
Check hr = "00000000" And IsArray(lines) And VarType(lines) = 8200 And TypeName(count) = "Long" _
    And count = 9, "CheckModem gives 9 lines as an array of strings", _
    hr & " " & VarType(lines) & " " & TypeName(count) & " " & count & " " & description

' ---------------------------------------------------------------- a modem that says nothing
Check UsePort(silentPort, False), "Init on the silent modem", ""
SendConfirmed "Unheard", 0
Check hr = "00000000" And reference = -1, _
    "SendConfirmed to a modem that says nothing succeeds, not confirmed (-1)", _
    hr & " " & reference & " " & description

' ---------------------------------------------------------------- refusals
Check UsePort(refusePort, False), "Init on the refusing modem", ""
SendConfirmed "Refused", 0
Check hr = "8004114A" And Left(description, 12) = "0x8004114A: " _
    And InStr(description, "+CMS ERROR: 330") > 0 _
    And InStr(description, "SMSC address unknown") > 0, _
    "a refused SMS is error 0x8004114A whose text gives the modem's answer and its meaning", _
    hr & " " & description

Check UsePort(refuseCmgsPort, False), "Init on the modem that refuses AT+CMGS", ""
SendConfirmed "Never written", 0
Check hr = "80041026" And InStr(description, "+CMS ERROR: 38") > 0, _
    "a refused AT+CMGS is error 0x80041026 with the modem's answer", hr & " " & description

Set o = Nothing
WScript.Echo "DONE fails=" & fails
