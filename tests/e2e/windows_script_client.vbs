' A script client of MerelSMSManager, as VBScript users and Office macros call it: late bound,
' every argument a plain variable. Prints "ok - ..." / "not ok - ..." per check and, as its
' last line, "DONE fails=N" (cscript exits 0 even when a script error stops it).
'   cscript //nologo windows_script_client.vbs PORT PDUTEXT SERVERDIR [SECONDPORT FOREIGNDIGITS]
' PDUTEXT and FOREIGNDIGITS (digits of another script, such as Arabic-Indic ones) come in
' through the command line because Wine's VBScript has no working ChrW. SERVERDIR is the
' server's folder, where it looks for SMSMgr.ini; the messages name it. SECONDPORT is another
' modem, which the settings name at the end: the sends after that must reach it. Without the
' last two, those checks are left out (a run that has one modem only).
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

' The HRESULT of the last call, as eight hex digits.
Function HResult()
    HResult = Right("0000000" & Hex(Err.Number), 8)
End Function

' The whole of a text file, or empty when it cannot be read.
Function FileText(path)
    Dim fso, f
    FileText = ""
    On Error Resume Next
    Set fso = CreateObject("Scripting.FileSystemObject")
    Set f = fso.OpenTextFile(path, 1)
    FileText = f.ReadAll
    f.Close
    On Error GoTo 0
End Function

Dim port : port = WScript.Arguments(0)
Dim pduText : pduText = WScript.Arguments(1)
Dim serverDir : serverDir = WScript.Arguments(2)
Dim secondPort, foreignDigits
Dim movesOn : movesOn = WScript.Arguments.Count >= 5
If movesOn Then
    secondPort = WScript.Arguments(3)
    foreignDigits = WScript.Arguments(4)
End If
Dim o, hr, description, refused
Set o = CreateObject("MerelSMSManager.SMSMgr")
Check IsObject(o), "CreateObject(""MerelSMSManager.SMSMgr"")", ""

' Out-parameters into plain variables; they come back in types that scripts can use.
Dim iniLoaded, logOpen, portOpen, portInit
o.GetSMSManagerStatus iniLoaded, logOpen, portOpen, portInit
Check TypeName(iniLoaded) = "Integer" And logOpen = 0, _
    "GetSMSManagerStatus fills plain variables", TypeName(iniLoaded) & " " & logOpen

Dim p, baud, dataBits, parity, stopBits, handshake, readTimeout, charset
o.GetSettings p, baud, dataBits, parity, stopBits, handshake, readTimeout, charset
Check TypeName(p) = "String" And TypeName(baud) = "Long" And TypeName(dataBits) = "Integer", _
    "GetSettings fills plain variables", _
    TypeName(p) & " " & TypeName(baud) & " " & TypeName(dataBits)

On Error Resume Next
' Builds the settings path; the test has removed the settings file, and the server's error
' text names it.
o.Init
hr = HResult()
description = Err.Description
Err.Clear
On Error GoTo 0
Dim expected
expected = "0x80070002: settings file " & serverDir & "\SMSMgr.ini not found: write it with SetSettings"
Check hr = "80070002" And description = expected, _
    "Err.Description of Init names the missing settings file", hr & " " & description

' A port that is not there: the message names it.
On Error Resume Next
Err.Clear
o.SetSettings "COM9", 9600, 8, 0, 0, 1, 0, 0
o.Init
hr = HResult()
description = Err.Description
Err.Clear
On Error GoTo 0
expected = "0x80070002: cannot open port COM9: no such device"
Check hr = "80070002" And description = expected, _
    "Err.Description of Init names the port that cannot be opened", hr & " " & description

On Error Resume Next
o.SetSettings port, 9600, 7, 2, 0, 1, 0, 0
hr = HResult()
On Error GoTo 0
Check hr = "00000000", "SetSettings", hr

o.GetSettings p, baud, dataBits, parity, stopBits, handshake, readTimeout, charset
Check p = port And baud = 9600 And dataBits = 7 And parity = 2 And stopBits = 0 _
    And handshake = 1 And readTimeout = 0 And charset = 0, "GetSettings returns what was set", _
    p & " " & baud & " " & dataBits & " " & parity & " " & stopBits & " " & handshake & " " & _
    readTimeout & " " & charset

On Error Resume Next
Err.Clear
o.Init
hr = HResult()
On Error GoTo 0
Check hr = "00000000", "Init", hr
o.GetSMSManagerStatus iniLoaded, logOpen, portOpen, portInit
Check iniLoaded = 1 And logOpen = 0 And portOpen = 1 And portInit = 1, _
    "status after Init is 1,0,1,1", iniLoaded & "," & logOpen & "," & portOpen & "," & portInit

On Error Resume Next
Err.Clear
o.TestPort
hr = HResult()
On Error GoTo 0
Check hr = "00000000", "TestPort", hr

Dim count, ports
ports = o.GetDetectedCOMPortsOnHost(count)
' An array of strings (VT_ARRAY | VT_BSTR); its bounds are checked by the C++ clients, as
' Wine's VBScript cannot take the bounds of an array that does not hold variants.
Check IsArray(ports) And VarType(ports) = 8200 And TypeName(count) = "Long", _
    "GetDetectedCOMPortsOnHost returns the port list and its count", _
    VarType(ports) & " " & TypeName(count)

' A text-mode send, then a PDU-mode one chosen by the stored character set.
On Error Resume Next
Err.Clear
o.SendTextMessage "0170 123 4567", "Hello from VBScript", 0
hr = HResult()
On Error GoTo 0
Check hr = "00000000", "SendTextMessage", hr

On Error Resume Next
Err.Clear
o.SetSettings port, 9600, 8, 0, 0, 1, 0, 1
o.SendMessage "49 1234 5678", pduText
hr = HResult()
On Error GoTo 0
Check hr = "00000000", "SendMessage in PDU mode", hr

' Refusals that write nothing: a number that cannot be coded, an unknown character set. Both
' are E_INVALIDARG, which VBScript may report as its own error 5.
On Error Resume Next
Err.Clear
o.SendPDUMessage "12ab", "x"
hr = HResult()
description = Err.Description
On Error GoTo 0
refused = hr = "00000005" Or hr = "80070057"
expected = "0x80070057: number ""12ab"" refused: ""a"" is not a digit; in PDU mode a number " & _
    "holds digits, spaces, the separators - . ( ) and one leading +, with at most 20 digits"
Check refused And description = expected, _
    "SendPDUMessage refuses a number with letters and says why", hr & " " & description

On Error Resume Next
Err.Clear
o.SetSettings port, 9600, 8, 0, 0, 1, 0, 2
o.SendMessage "123", "x"
hr = HResult()
description = Err.Description
o.SetSettings port, 9600, 8, 0, 0, 1, 0, 0
On Error GoTo 0
refused = hr = "00000005" Or hr = "80070057"
expected = "0x80070057: the stored character set 2 is neither 0 (text mode) nor 1 (PDU mode): " & _
    "change it with SetSettings"
Check refused And description = expected, "SendMessage refuses an unknown character set and says why", _
    hr & " " & description

' Numbers that are no numbers: none with a digit in either mode, and in text mode characters
' beyond printable ASCII, which would reach the modem as other bytes.
Const textModeRule = "in text mode a number holds at least one digit and only printable ASCII characters (space to ~) other than """
Sub CheckRefused(number, pduMode, expected, name)
    On Error Resume Next
    Err.Clear
    If pduMode Then
        o.SendPDUMessage number, "x"
    Else
        o.SendTextMessage number, "x", 0
    End If
    hr = HResult()
    description = Err.Description
    On Error GoTo 0
    refused = hr = "00000005" Or hr = "80070057"
    Check refused And description = expected, name, hr & " " & description
End Sub
CheckRefused "", False, "0x80070057: number """" refused: it has no digit; " & textModeRule, _
    "SendTextMessage refuses an empty number"
CheckRefused "+", True, "0x80070057: number ""+"" refused: it has no digit; in PDU mode a " & _
    "number holds digits, spaces, the separators - . ( ) and one leading +, with at most 20 digits", _
    "SendPDUMessage refuses a lone +"
' Strings longer than the server takes are refused on arrival, and nothing of them is kept.
Dim iniBefore, iniAfter
iniBefore = FileText(serverDir & "\SMSMgr.ini")
CheckRefused String(40000, "9"), False, "0x80070057: number (u_bstrPhoneNr) refused: it has " & _
    "40000 UTF-16 units; the server takes at most 4096", "SendTextMessage refuses a 40000-unit number"
On Error Resume Next
Err.Clear
o.SetSettings "\\.\" & String(40000, "P"), 9600, 8, 0, 0, 1, 0, 0
hr = HResult()
description = Err.Description
On Error GoTo 0
refused = hr = "00000005" Or hr = "80070057"
Check refused And description = "0x80070057: port name (u_bstrPort) refused: it has 40004 " & _
    "UTF-16 units; the server takes at most 32767", "SetSettings refuses a 40004-unit port name", _
    hr & " " & description
o.GetSettings p, baud, dataBits, parity, stopBits, handshake, readTimeout, charset
Check p = port And baud = 9600 And dataBits = 8 And charset = 0, _
    "GetSettings still returns the port stored before", Left(p, 40) & " " & baud & " " & charset
iniAfter = FileText(serverDir & "\SMSMgr.ini")
Check iniBefore = iniAfter And Len(iniBefore) > 0, "SMSMgr.ini is unchanged", Len(iniAfter)

If movesOn Then
    CheckRefused foreignDigits, False, "0x80070057: number """ & foreignDigits & _
        """ refused: it holds U+0661 '" & Left(foreignDigits, 1) & _
        "', which is no printable ASCII character; " & textModeRule, _
        "SendTextMessage refuses digits of another script"

    ' The settings name another modem: Init leaves the open port for it, and the send goes there.
    On Error Resume Next
    Err.Clear
    o.SetSettings secondPort, 9600, 8, 0, 0, 1, 0, 0
    o.Init
    hr = HResult()
    On Error GoTo 0
    Check hr = "00000000", "Init after SetSettings names " & secondPort, hr
    o.GetSMSManagerStatus iniLoaded, logOpen, portOpen, portInit
    Check portOpen = 1 And portInit = 1, "status after the move is 1,0,1,1", _
        iniLoaded & "," & logOpen & "," & portOpen & "," & portInit
    On Error Resume Next
    Err.Clear
    o.SendTextMessage "0170 2222", "Hello on the second port", 0
    hr = HResult()
    On Error GoTo 0
    Check hr = "00000000", "SendTextMessage on " & secondPort, hr
End If

Set o = Nothing
WScript.Echo "DONE fails=" & fails
