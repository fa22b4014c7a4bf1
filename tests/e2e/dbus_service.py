#!/usr/bin/python3
"""The Linux service on a private session bus, driven by busctl, gdbus and dbus-send.

Registers a copy of the built MerelSMSManager in a temporary data folder, lets the bus start
it for the first call, calls every method, sends to modem-sim in both modes and checks the
simulator's transcript byte for byte, checks sharing between two clients, the idle end and
unregistration. Prints one line per case; exits non-zero when a case failed.

Environment: MEREL_BUILD_LINUX (build folder of the linux preset), MEREL_SOURCE.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

BUS_NAME = "MerelSMSManager.SMSMgr"
OBJECT = "/SMSMgr"
INTERFACE = "MerelSMSManagerLib.ISMSMgr"

# Slot order, D-Bus types, parameter names, directions and dispatch identifiers.
METHODS = [
    ("SendTextMessage", 1, [("u_bstrPhoneNr", "s", "in"), ("u_bstrMessage", "s", "in"),
                            ("u_inFlags", "i", "in")]),
    ("SetSettings", 2, [("u_bstrPort", "s", "in"), ("u_loBaudrate", "i", "in"),
                        ("u_shDataBits", "n", "in"), ("u_shParity", "n", "in"),
                        ("u_shStopBits", "n", "in"), ("u_shHandshake", "n", "in"),
                        ("u_shReadTimeout", "n", "in"), ("u_shCharacterSet", "n", "in")]),
    ("GetSettings", 3, [("u_bstrPort", "s", "out"), ("u_loBaudrate", "i", "out"),
                        ("u_shDataBits", "n", "out"), ("u_shParity", "n", "out"),
                        ("u_shStopBits", "n", "out"), ("u_shHandshake", "n", "out"),
                        ("u_shReadTimeout", "n", "out"), ("u_shCharacterSet", "n", "out")]),
    ("SendPDUMessage", 4, [("u_bstrPhoneNr", "s", "in"), ("u_bstrMessage", "s", "in")]),
    ("GetSMSManagerStatus", 5, [("u_boIsINIFileLoad", "y", "out"),
                                ("u_boIsLOGFileOpen", "y", "out"),
                                ("u_boIsPortOpen", "y", "out"), ("u_boIsPortInit", "y", "out")]),
    ("SendMessage", 6, [("u_bstrPhoneNr", "s", "in"), ("u_bstrMessage", "s", "in")]),
    ("GetDetectedCOMPortsOnHost", 8, [("u_uiNrOfPorts", "u", "out"), ("pVal", "as", "out")]),
    ("TestPort", 9, []),
    ("Init", 10, []),
]

LF_CR = b"\n\r"
EOM = b"\x1a\n\r"

failures = 0


def report(ok, case, reason=""):
    global failures
    if ok:
        print(f"ok - {case}", flush=True)
    else:
        failures += 1
        print(f"not ok - {case} ({reason})", flush=True)


def skip(case, reason):
    print(f"skip - {case} ({reason})", flush=True)


class CaseFailed(Exception):
    pass


def check(condition, reason):
    if not condition:
        raise CaseFailed(reason)


def case(name):
    """Runs the decorated function at once as one case; its CaseFailed becomes 'not ok'."""
    def run(fn):
        try:
            fn()
            report(True, name)
        except CaseFailed as e:
            report(False, name, str(e))
        except (subprocess.TimeoutExpired, OSError, ValueError, KeyError, IndexError) as e:
            report(False, name, f"{type(e).__name__}: {e}")
        return fn
    return run


class World:
    def __init__(self):
        source = os.environ.get("MEREL_SOURCE") or os.path.dirname(
            os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        build = os.environ.get("MEREL_BUILD_LINUX") or os.path.join(source, "build", "linux")
        self.built_server = os.path.join(build, "src", "host", "dbus", "MerelSMSManager")
        self.modem_sim = os.path.join(build, "tools", "modem-sim", "modem-sim")
        self.tmp = tempfile.mkdtemp(prefix="merel-dbus-e2e-")
        self.bin = os.path.join(self.tmp, "bin")
        self.server = os.path.join(self.bin, "MerelSMSManager")
        self.data = os.path.join(self.tmp, "data")
        self.ini = os.path.join(self.bin, "SMSMgr.ini")
        self.modem_link = os.path.join(self.tmp, "modem")
        self.transcript = os.path.join(self.tmp, "modem.jsonl")
        self.service_file = os.path.join(self.data, "dbus-1", "services", BUS_NAME + ".service")
        self.interface_file = os.path.join(self.data, "dbus-1", "interfaces", INTERFACE + ".xml")
        self.bus_pid = None
        self.sim = None
        self.env = dict(os.environ, XDG_DATA_HOME=self.data, HOME=self.tmp, LC_ALL="C.UTF-8")
        for var in ("DBUS_STARTER_ADDRESS", "DBUS_STARTER_BUS_TYPE", "XDG_RUNTIME_DIR"):
            self.env.pop(var, None)

    # The program under test is a copy, so that its SMSMgr.ini lands in our folder.
    def install(self):
        os.makedirs(self.bin)
        shutil.copy2(self.built_server, self.server)

    def start_bus(self):
        config = os.path.join(self.tmp, "bus.conf")
        with open(config, "w") as f:
            f.write(f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={self.tmp}/bus</listen>
  <auth>EXTERNAL</auth>
  <standard_session_servicedirs/>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""")
        out = subprocess.run(["dbus-daemon", f"--config-file={config}", "--fork",
                              "--print-address=1", "--print-pid=1", "--nopidfile"],
                             env=self.env, capture_output=True, text=True, timeout=20, check=True)
        address, pid = out.stdout.split("\n")[:2]
        self.bus_pid = int(pid)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address.strip()

    def stop_bus(self):
        if self.bus_pid:
            try:
                os.kill(self.bus_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            wait_until(lambda: not pid_alive(self.bus_pid), 5)
            self.bus_pid = None

    def start_sim(self):
        self.sim = subprocess.Popen([self.modem_sim, "--link", self.modem_link, "--json",
                                     "--transcript", self.transcript, "--idle-exit", "120"],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = self.sim.stdout.readline()
        check(first.startswith("device: /dev/pts/"), f"modem-sim said {first!r}")

    def stop_sim(self):
        if self.sim and self.sim.poll() is None:
            self.sim.send_signal(signal.SIGTERM)
            try:
                self.sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.sim.kill()
                self.sim.wait(timeout=5)

    def run(self, args, timeout=30):
        return subprocess.run(args, env=self.env, capture_output=True, text=True,
                              timeout=timeout)

    # A client call with busctl: (result type, values) or the CompletedProcess on failure.
    def busctl(self, method, signature=None, *args, timeout=30):
        cmd = ["busctl", "--user", "--json=short", "call", BUS_NAME, OBJECT, INTERFACE, method]
        if signature is not None:
            cmd += [signature, *[str(a) for a in args]]
        return self.run(cmd, timeout)

    def call_ok(self, method, signature=None, *args, timeout=30):
        p = self.busctl(method, signature, *args, timeout=timeout)
        check(p.returncode == 0, f"{method} failed: {p.stderr.strip()}")
        if not p.stdout.strip():
            return None
        reply = json.loads(p.stdout)
        return reply["type"], reply["data"]

    def call_fails(self, method, signature=None, *args):
        """The HRESULT recovered from busctl's report of the error message."""
        p = self.busctl(method, signature, *args)
        check(p.returncode != 0, f"{method} succeeded: {p.stdout.strip()}")
        m = re.search(r"Call failed: (0x[0-9A-Fa-f]{8}): ", p.stderr)
        check(m, f"{method}: no HRESULT in {p.stderr.strip()!r}")
        return int(m.group(1), 16)

    def gdbus(self, method, *args):
        return self.run(["gdbus", "call", "--session", "--dest", BUS_NAME, "--object-path",
                         OBJECT, "--method", f"{INTERFACE}.{method}", "--", *args])

    def status(self):
        return self.call_ok("GetSMSManagerStatus")[1]

    def settings(self):
        return self.call_ok("GetSettings")[1]

    def set_settings(self, port, baud, data, parity, stop, handshake, timeout_mode, charset):
        return self.busctl("SetSettings", "sinnnnnn", port, baud, data, parity, stop, handshake,
                           timeout_mode, charset)

    def owner_pid(self):
        p = self.run(["busctl", "--user", "--json=short", "call", "org.freedesktop.DBus",
                      "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "GetConnectionUnixProcessID", "s", BUS_NAME])
        return json.loads(p.stdout)["data"][0] if p.returncode == 0 else None

    def server_pids(self):
        """Every running process of our copy of the server."""
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink(f"/proc/{entry}/exe") == self.server:
                        pids.append(int(entry))
                except OSError:
                    pass
        return pids

    def cleanup(self):
        self.stop_sim()
        for pid in self.server_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.stop_bus()
        shutil.rmtree(self.tmp, ignore_errors=True)


def pid_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[-1][0] != "Z"
    except OSError:
        return False


def wait_until(predicate, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def text_mode_writes(number, text):
    return [b'AT+CSCS="PCCP437"' + LF_CR, b"AT+CMGF=1" + LF_CR,
            b'AT+CMGS="' + number + b'"' + LF_CR, text + EOM, b"AT$RESET"]


def pdu_mode_writes(length, pdu):
    return [b'AT+CSCS="UCS2"' + LF_CR, b"AT+CMEE=2" + LF_CR, b"AT+CMGF=0" + LF_CR,
            b"AT+CMGS=" + str(length).encode() + LF_CR, pdu.encode() + EOM, b"AT$RESET"]


def main():
    w = World()
    try:
        run_cases(w)
    finally:
        leftovers_before = w.server_pids()
        bus_pid = w.bus_pid
        w.cleanup()
        report(not leftovers_before and not w.server_pids() and
               (w.sim is None or w.sim.poll() is not None) and
               (bus_pid is None or not pid_alive(bus_pid)) and not os.path.exists(w.tmp),
               "no process or folder of the test is left behind",
               f"servers still running at the end: {leftovers_before}")
    return 1 if failures else 0


def run_cases(w):
    for path in (w.built_server, w.modem_sim):
        if not os.access(path, os.X_OK):
            report(False, "built programs are present", f"missing {path}")
            return
    w.install()
    w.start_bus()

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

    @case("Init without SMSMgr.ini fails with 0x80070002, recovered by both clients")
    def _():
        check(w.call_fails("Init") == 0x80070002, "busctl")
        p = w.gdbus("Init")
        check(p.returncode != 0, "gdbus Init succeeded")
        m = re.search(r"GDBus\.Error:MerelSMSManager\.Error\.HRESULT_([0-9A-F]{8}): "
                      r"0x([0-9A-F]{8}): \S", p.stderr)
        check(m and int(m.group(1), 16) == 0x80070002 and m.group(2) == m.group(1),
              p.stderr.strip())
        check(w.status() == [0, 0, 0, 0], "status changed")
        check(w.call_fails("SendMessage", "ss", "123", "x") == 0x80004005, "SendMessage")

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
        check(w.call_fails("TestPort") == 0x80070002, "missing device")
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
        with open(w.transcript) as f:
            records = [json.loads(line) for line in f if line.strip()]
        commands = [r for r in records if r["type"] == "command"]
        got = [bytes.fromhex(c["bytes_hex"]) for c in commands]
        expected = (text_mode_writes(b"+491701234567", b"Hello") +
                    pdu_mode_writes(17, "0021000C9194711032547600080400480069") +
                    pdu_mode_writes(16, "0021000A919421436587000804D83DDE00"))
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
        check_with_gammu(messages[1:])

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


def check_with_gammu(pdu_messages):
    try:
        import gammu
    except ImportError:
        return
    decoded = []
    for m in pdu_messages:
        d = gammu.DecodePDU(bytes.fromhex(m["pdu"]), SMSC=True)
        decoded.append((d["Number"], d["Text"], d["Coding"]))
    check(decoded == [("+491701234567", "Hi", "Unicode_No_Compression"),
                      ("+4912345678", "\U0001F600", "Unicode_No_Compression")],
          f"gammu decoded {decoded}")


def on_stop_signal(signum, _frame):
    # Leave through the clean-up of main() when the runner's timeout ends the test.
    raise SystemExit(128 + signum)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_stop_signal)
    sys.exit(main())
