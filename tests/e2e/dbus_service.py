#!/usr/bin/python3
"""The Linux service on a private session bus, driven by busctl, gdbus and dbus-send.

Registers a copy of the built MerelSMSManager in a temporary data folder, lets the bus start
it for the first call, calls every method, sends to modem-sim in both modes and checks the
simulator's transcript byte for byte, checks sharing between two clients, the idle end and
unregistration. Prints one line per case; exits non-zero when a case failed.

Environment: MEREL_BUILD_LINUX (build folder of the linux preset), MEREL_SOURCE.
"""

import os
import re
import subprocess
import time
import xml.etree.ElementTree as ET

from sms_submit import decode_submit
from dbus_world import (BUS_NAME, INTERFACE, METHODS, OBJECT, case, check, main, pdu_mode_writes,
                        pid_alive, skip, text_mode_writes, wait_until)


def run_cases(w):
    if not w.set_up():
        return

    @case("the service's own command line: --help, --version, a switch without its dash")
    def _():
        p = w.run([w.server, "--help"])
        check(p.returncode == 0 and p.stdout.startswith("Usage: MerelSMSManager"),
              f"exit {p.returncode}: {p.stdout!r}")
        p = w.run([w.server, "--version"])
        check(p.returncode == 0 and p.stdout == f"MerelSMSManager {w.version}\n", repr(p.stdout))
        p = w.run([w.server, "RegServer"])
        check(p.returncode == 64, f"exit {p.returncode}")
        check(p.stderr == "MerelSMSManager: unknown argument 'RegServer' "
              "(did you mean -RegServer?)\n", repr(p.stderr))
        check(not os.path.exists(w.service_file), "registered anyway")
        p = w.run([w.server, "--serve"])
        check(p.returncode == 64 and "Usage:" in p.stderr, f"exit {p.returncode}: {p.stderr!r}")

    @case("RegServer writes the activation file and the interface file")
    def _():
        p = w.run([w.server, "-RegServer"])
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")
        with open(w.service_file) as f:
            service = f.read()
        check(f"Name={BUS_NAME}\n" in service, service)
        check(f"Exec={w.server}\n" in service, service)
        root = ET.parse(w.interface_file).getroot()
        check([i.get("name") for i in root.findall("interface")] == [INTERFACE], "interfaces")

    @case("the first busctl call starts the service")
    def _():
        check(w.server_pids() == [], f"already running: {w.server_pids()}")
        check(w.status() == [0, 0, 0, 0], "status")
        check(len(w.server_pids()) == 1, f"servers: {w.server_pids()}")
        check(w.owner_pid() == w.server_pids()[0], "the bus name belongs to another process")

    @case("busctl introspect shows the nine methods with their signatures")
    def _():
        p = w.run(["busctl", "--user", "introspect", BUS_NAME, OBJECT, INTERFACE])
        check(p.returncode == 0, p.stderr.strip())
        rows = {}
        for line in p.stdout.splitlines():
            cols = line.split()
            if len(cols) >= 4 and cols[0].startswith(".") and cols[1] == "method":
                rows[cols[0][1:]] = (cols[2], cols[3])
        expected = {}
        for name, _, args in METHODS:
            ins = "".join(t for _, t, d in args if d == "in") or "-"
            outs = "".join(t for _, t, d in args if d == "out") or "-"
            expected[name] = (ins, outs)
        check(rows == expected, f"got {rows}")

    @case("gdbus introspect shows the parameter names and the dispatch identifiers")
    def _():
        p = w.run(["gdbus", "introspect", "--session", "--dest", BUS_NAME, "--object-path",
                   OBJECT, "--xml"])
        check(p.returncode == 0, p.stderr.strip())
        iface = [i for i in ET.fromstring(p.stdout).findall("interface")
                 if i.get("name") == INTERFACE]
        check(len(iface) == 1, "interface missing")
        got = []
        for m in iface[0].findall("method"):
            ann = {a.get("name"): a.get("value") for a in m.findall("annotation")}
            args = [(a.get("name"), a.get("type"), a.get("direction") or "in")
                    for a in m.findall("arg")]
            got.append((m.get("name"), int(ann.get("MerelSMSManagerLib.DispId", "0")), args))
            check(ann.get("MerelSMSManagerLib.HelpString") == "method " + m.get("name"),
                  f"help string of {m.get('name')}")
        check(got == METHODS, f"got {got}")
        # The readable form shows each identifier over its method.
        p = w.run(["gdbus", "introspect", "--session", "--dest", BUS_NAME, "--object-path",
                   OBJECT])
        check(re.search(r'@MerelSMSManagerLib\.DispId\("8"\)\s*\n\s*'
                        r'@MerelSMSManagerLib\.HelpString\("[^"]*"\)\s*\n\s*'
                        r'GetDetectedCOMPortsOnHost\(out u u_uiNrOfPorts,\s*out as pVal\);',
                        p.stdout), "GetDetectedCOMPortsOnHost not shown with identifier 8")

    @case("GetSettings before anything gives the initial settings")
    def _():
        check(w.settings() == ["", 460800, 8, 0, 0, 1, 0, 0], f"got {w.settings()}")

    @case("Init without SMSMgr.ini fails with 0x80070002 naming the file, for both clients")
    def _():
        _, text = w.call_error("Init")
        check(text == f"0x80070002: settings file {w.ini} not found: write it with SetSettings",
              text)
        p = w.gdbus("Init")
        check(p.returncode != 0, "gdbus Init succeeded")
        m = re.search(r"GDBus\.Error:MerelSMSManager\.Error\.HRESULT_([0-9A-F]{8}): "
                      r"0x([0-9A-F]{8}): \S", p.stderr)
        check(m and int(m.group(1), 16) == 0x80070002 and m.group(2) == m.group(1),
              p.stderr.strip())
        check(w.status() == [0, 0, 0, 0], "status changed")
        _, text = w.call_error("SendMessage", "ss", "123", "x")
        check(text.startswith("0x80004005: not ready to send: "), text)

    @case("SetSettings stores and saves the settings; GetSettings gives them back")
    def _():
        # Init has fixed the path beside the executable, so the file can now be written.
        p = w.set_settings(w.modem_link, 460800, 8, 0, 0, 1, 0, 0)
        check(p.returncode == 0, p.stderr.strip())
        check(w.settings() == [w.modem_link, 460800, 8, 0, 0, 1, 0, 0], f"got {w.settings()}")
        with open(w.ini, "rb") as f:
            saved = f.read()
        check(saved.startswith(b"Port:" + w.modem_link.encode() + b"\r\nBaudrate:460800\r\n"),
              repr(saved[:80]))
        # Negative shorts and a non-ASCII port name travel unchanged (gdbus this time).
        p = w.gdbus("SetSettings", "COM\u00e9", "-5", "-1", "2", "-32768", "32767", "1", "7")
        check(p.returncode == 0, p.stderr.strip())
        check(w.settings() == ["COM\u00e9", -5, -1, 2, -32768, 32767, 1, 7],
              f"got {w.settings()}")
        check(w.set_settings(w.modem_link, 460800, 8, 0, 0, 1, 0, 0).returncode == 0, "reset")

    @case("SetSettings that cannot write the file names it")
    def _():
        # A folder in the file's place: the save cannot replace it (root may write anywhere).
        os.rename(w.ini, w.ini + ".kept")
        os.mkdir(w.ini)
        try:
            _, text = w.call_error("SetSettings", "sinnnnnn", w.modem_link, 9600, 8, 0, 0, 1,
                                   0, 0)
        finally:
            os.rmdir(w.ini)
            os.rename(w.ini + ".kept", w.ini)
        check(text.startswith(f"0x80004005: settings file {w.ini} could not be written"), text)

    @case("a call with a wrong signature gets InvalidArgs and changes nothing")
    def _():
        before = w.settings()
        with open(w.ini, "rb") as f:
            saved = f.read()
        p = w.run(["dbus-send", "--session", "--print-reply", f"--dest={BUS_NAME}", OBJECT,
                   f"{INTERFACE}.SetSettings", "string:COM9", "int32:9600", "int32:7",
                   "int32:2", "int32:1", "int32:0", "int32:1", "int32:1"])
        check(p.returncode != 0, "accepted")
        check("org.freedesktop.DBus.Error.InvalidArgs" in p.stderr, p.stderr.strip())
        p = w.busctl("SendTextMessage", "ss", "123", "x")
        check(p.returncode != 0 and "Invalid arguments" in p.stderr, p.stderr.strip())
        check(w.settings() == before, f"settings now {w.settings()}")
        with open(w.ini, "rb") as f:
            check(f.read() == saved, "SMSMgr.ini changed")
        check(w.status() == [0, 0, 0, 0], "status changed")

    w.start_sim()

    @case("Init opens and configures the modem-sim device")
    def _():
        check(w.call_ok("Init") is None, "reply carries values")
        check(w.status() == [1, 0, 1, 1], f"status {w.status()}")

    @case("SendTextMessage sends in text mode")
    def _():
        w.call_ok("SendTextMessage", "ssi", "+49 170 1234567", "Hello", 0)

    @case("SendPDUMessage sends in PDU mode")
    def _():
        w.call_ok("SendPDUMessage", "ss", "+49 170 1234567", "Hi")

    @case("a refused number is named with what a number may hold")
    def _():
        _, text = w.call_error("SendPDUMessage", "ss", "+49 170 CALLME", "Hi")
        check(text == '0x80070057: number "+49 170 CALLME" refused: "C" is not a digit; in PDU '
              'mode a number holds digits, spaces, the separators - . ( ) and one leading +, '
              'with at most 20 digits', text)

    @case("SendMessage follows the character set; an emoji reaches the PDU as its pair")
    def _():
        check(w.set_settings(w.modem_link, 460800, 8, 0, 0, 1, 0, 1).returncode == 0,
              "SetSettings")
        w.call_ok("SendMessage", "ss", "4912345678", "\U0001F600")

    @case("TestPort reopens the port and reports failures by HRESULT and flags")
    def _():
        check(w.call_ok("TestPort") is None, "reply carries values")
        check(w.status() == [1, 0, 1, 1], f"status {w.status()}")
        missing = os.path.join(w.tmp, "no-such-device")
        check(w.set_settings(missing, 460800, 8, 0, 0, 1, 0, 1).returncode == 0, "SetSettings")
        _, text = w.call_error("TestPort")
        check(text == f"0x80070002: cannot open port {missing}: no such device", text)
        check(w.status() == [1, 0, 0, 0], f"status {w.status()}")
        check(w.set_settings(w.modem_link, 460800, 8, 0, 0, 1, 0, 1).returncode == 0, "restore")
        w.call_ok("TestPort")
        check(w.status() == [1, 0, 1, 1], f"status {w.status()}")

    @case("GetDetectedCOMPortsOnHost gives the count and as many names")
    def _():
        kind, (count, names) = w.call_ok("GetDetectedCOMPortsOnHost")
        check(kind == "uas", kind)
        check(count == len(names), f"count {count}, names {names}")
        check(all(isinstance(n, str) and n for n in names), f"names {names}")

    two_clients(w)

    w.stop_sim()

    @case("the modem received exactly the commands of the three sends, a second apart")
    def _():
        records = w.records()
        commands = [r for r in records if r["type"] == "command"]
        got = [bytes.fromhex(c["bytes_hex"]) for c in commands]
        # Each of the three opens (Init, and the two TestPort calls that find the port) is
        # followed by one ESC.
        expected = ([b"\x1b"] + text_mode_writes(b"+491701234567", b"Hello") +
                    pdu_mode_writes(17, "0021000C9194711032547600080400480069") +
                    pdu_mode_writes(16, "0021000A919421436587000804D83DDE00") + [b"\x1b"] * 2)
        check(b"".join(got) == b"".join(expected), f"stream differs: {b''.join(got)!r}")
        check(got == expected, f"commands split differently: {got}")
        # Each write waits a second for the one before. The simulator stamps a command when
        # it reads it, so one gap may look shorter when a read came late, but never by much,
        # and the late read lengthens the next gap by as much.
        pauses = [c["pause_ms"] for c in commands[1:]]
        check(all(p is not None and p >= 800 for p in pauses), f"pauses {pauses}")
        check(sum(pauses) >= 995 * len(pauses), f"pauses {pauses}")
        messages = [r for r in records if r["type"] == "message"]
        check([(m["mode"], m["number"], m["text"]) for m in messages] ==
              [("text", "+491701234567", "Hello"), ("pdu", "+491701234567", "Hi"),
               ("pdu", "+4912345678", "\U0001F600")], f"messages {messages}")
        check_decoded(messages[1:])

    @case("the service ends 5 to 8 seconds after the last client left, name released first")
    def _():
        pid = w.owner_pid()
        check(pid is not None, "service not running")
        # The bus reports when the name is released; the monitor stamps each message.
        monitor = subprocess.Popen(
            ["dbus-monitor", "--session", "type='signal',sender='org.freedesktop.DBus',"
             f"member='NameOwnerChanged',arg0='{BUS_NAME}'"],
            env=w.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            time.sleep(0.3)  # let the monitor connect before the last client leaves
            w.status()
            left = time.time()
            check(wait_until(lambda: not pid_alive(pid), 12, step=0.02), "still running")
            ended = time.time()
        finally:
            monitor.terminate()
            out = monitor.communicate(timeout=10)[0]
        took = ended - left
        check(5.0 <= took <= 8.0, f"ended after {took:.2f} s")
        released = None
        for block in out.split("signal time=")[1:]:
            strings = re.findall(r'^\s*string "(.*)"$', block, re.M)
            if strings[:1] == [BUS_NAME] and strings[2:3] == [""]:
                released = float(block.split()[0])
        check(released is not None, "no release of the name seen")
        # The name goes at the end of the idle time; the process follows after its pause.
        check(released - left >= 4.9, f"name released {released - left:.2f} s after the client")
        check(ended - released >= 0.9, f"ended {ended - released:.2f} s after the name")

    @case("a client calling within the 5 seconds keeps the service running")
    def _():
        w.status()
        first = time.monotonic()
        pid = w.owner_pid()
        check(pid is not None, "not started")
        time.sleep(3.5)
        check(w.owner_pid() == pid, "a new server answered")
        w.status()
        second = time.monotonic()
        time.sleep(max(0.0, first + 6.5 - time.monotonic()))
        check(pid_alive(pid), "ended although a client came back")
        check(wait_until(lambda: not pid_alive(pid), 12), "still running")
        took = time.monotonic() - second
        check(5.0 <= took <= 8.0, f"ended {took:.2f} s after the second client")
        # A new start reads what was saved (the simulator and its device are gone by now).
        check(w.call_fails("Init") == 0x80070002, "Init of the new server")
        check(w.settings() == [w.modem_link, 460800, 8, 0, 0, 1, 0, 1], f"got {w.settings()}")
        check(w.status() == [1, 0, 0, 0], f"status {w.status()}")
        check(wait_until(lambda: not w.server_pids(), 12), "did not end again")

    @case("UnregServer removes both files and a call no longer starts the service")
    def _():
        check(not w.server_pids(), "server still running")
        p = w.run([w.server, "/unregserver"])
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")
        check(not os.path.exists(w.service_file) and not os.path.exists(w.interface_file),
              "files left")
        p = w.busctl("GetSMSManagerStatus")
        check(p.returncode != 0, "the call was answered")
        check(not w.server_pids(), "a server was started")
        p = w.run(["dbus-send", "--session", "--print-reply", f"--dest={BUS_NAME}", OBJECT,
                   f"{INTERFACE}.Init"])
        check("org.freedesktop.DBus.Error.ServiceUnknown" in p.stderr, p.stderr.strip())

    @case("the service ends at once when the bus goes away")
    def _():
        check(w.run([w.server, "-RegServer"]).returncode == 0, "RegServer")
        w.status()
        pid = w.owner_pid()
        check(pid is not None, "not started")
        gone = time.monotonic()
        w.stop_bus()
        check(wait_until(lambda: not pid_alive(pid), 5), "still running 5 s after the bus")
        took = time.monotonic() - gone
        check(took < 1.0, f"ended {took:.2f} s after the bus")
        check(w.run([w.server, "-UnregServer"]).returncode == 0, "UnregServer")


def two_clients(w):
    try:
        import dbus
    except ImportError:
        skip("two clients connected at once share the object in one process",
             "python3-dbus is not installed")
        return

    @case("two clients connected at once share the object in one process")
    def _():
        address = w.env["DBUS_SESSION_BUS_ADDRESS"]
        a = dbus.bus.BusConnection(address)
        b = dbus.bus.BusConnection(address)
        try:
            obj_a = dbus.Interface(a.get_object(BUS_NAME, OBJECT), INTERFACE)
            obj_b = dbus.Interface(b.get_object(BUS_NAME, OBJECT), INTERFACE)
            obj_a.SetSettings(w.modem_link, dbus.Int32(115200), dbus.Int16(7), dbus.Int16(2),
                              dbus.Int16(0), dbus.Int16(1), dbus.Int16(0), dbus.Int16(1))
            got = [int(v) if not isinstance(v, str) else str(v) for v in obj_b.GetSettings()]
            check(got == [w.modem_link, 115200, 7, 2, 0, 1, 0, 1], f"B read {got}")
            owner_a = a.get_name_owner(BUS_NAME)
            owner_b = b.get_name_owner(BUS_NAME)
            check(owner_a == owner_b, "different owners")
            check(len(w.server_pids()) == 1, f"servers {w.server_pids()}")
            # Both references are held: the client that stored stays while the other reads.
            flags = [int(v) for v in obj_a.GetSMSManagerStatus()]
            check(flags == [1, 0, 1, 1], f"status {flags}")
            obj_b.SetSettings(w.modem_link, dbus.Int32(460800), dbus.Int16(8), dbus.Int16(0),
                              dbus.Int16(0), dbus.Int16(1), dbus.Int16(0), dbus.Int16(1))
            check(int(obj_a.GetSettings()[1]) == 460800, "A did not see B's baud rate")
        finally:
            a.close()
            b.close()


def check_decoded(pdu_messages):
    """The PDUs as a reader written apart from the encoder and the simulator reads them."""
    decoded = []
    for m in pdu_messages:
        d = decode_submit(bytes.fromhex(m["pdu"]))
        decoded.append((d["number"], d["text"], d["coding"]))
    check(decoded == [("+491701234567", "Hi", "ucs2"), ("+4912345678", "\U0001F600", "ucs2")],
          f"decoded {decoded}")


if __name__ == "__main__":
    main(run_cases)
