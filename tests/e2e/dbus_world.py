"""What the whole-system tests of the Linux service share: a private session bus, a registered
copy of the built service, modem-sim on a pseudo terminal, client calls through busctl, and one
ok/not ok line per case.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
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

BUS_CONFIG_HEAD = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
"""


def session_bus_config(socket, service_dir=None, extra=""):
    """A private session bus on `socket` that starts services from `service_dir` alone, or
    from the standard folders (the installed package's among them) without one; `extra` is
    more configuration, such as limits."""
    services = (f"<servicedir>{service_dir}</servicedir>" if service_dir
                else "<standard_session_servicedirs/>")
    return BUS_CONFIG_HEAD + f"""<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  {services}
  {extra}
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


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
        except Exception as e:  # a client library's error too (dbus-python raises its own)
            report(False, name, f"{type(e).__name__}: {e}")
        return fn
    return run


def project_version(build):
    """The version that the build in `build` was configured with, from project() in the
    top CMakeLists.txt; None when the build folder has no cache."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_PROJECT_VERSION:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


class World:
    def __init__(self):
        source = os.environ.get("MEREL_SOURCE") or os.path.dirname(
            os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        build = os.environ.get("MEREL_BUILD_LINUX") or os.path.join(source, "build", "linux")
        self.built_server = os.path.join(build, "src", "host", "dbus", "MerelSMSManager")
        self.version = project_version(build)
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
        self.bus_user = []  # a command prefix that runs the bus (and so the service) as another user
        self.sim = None
        self.env = dict(os.environ, XDG_DATA_HOME=self.data, HOME=self.tmp, LC_ALL="C.UTF-8")
        for var in ("DBUS_STARTER_ADDRESS", "DBUS_STARTER_BUS_TYPE", "XDG_RUNTIME_DIR"):
            self.env.pop(var, None)
        # The port's lock files go to a folder of the test's own, sticky like /run/lock: a lock
        # left by a service the test killed must not hold another test's port, nor the machine's.
        self.lock_folder = os.path.join(self.tmp, "run-lock")
        os.mkdir(self.lock_folder)
        os.chmod(self.lock_folder, 0o1777)
        self.env["MEREL_LOCK_DIR"] = self.lock_folder

    def programs_present(self):
        """Reports a failed case when the service or modem-sim has not been built."""
        for path in (self.built_server, self.modem_sim):
            if not os.access(path, os.X_OK):
                report(False, "built programs are present", f"missing {path}")
                return False
        return True

    # The program under test is a copy, so that its SMSMgr.ini lands in our folder.
    def install(self):
        os.makedirs(self.bin)
        shutil.copy2(self.built_server, self.server)

    def set_up(self):
        """Installs the copy and starts the bus; False (reported) when a program is missing."""
        if not self.programs_present():
            return False
        self.install()
        self.start_bus()
        return True

    def start_bus(self, extra=""):
        # Only the test's own folder of activation files: a service installed on the machine
        # (the package's, in /usr/share) must not answer in place of the copy under test.
        config = os.path.join(self.tmp, "bus.conf")
        with open(config, "w") as f:
            f.write(session_bus_config(f"{self.tmp}/bus", f"{self.data}/dbus-1/services", extra))
        out = subprocess.run(self.bus_user + ["dbus-daemon", f"--config-file={config}", "--fork",
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

    def start_sim(self, *options):
        """modem-sim on the test's link, with `options` (such as --answer ok)."""
        self.sim = subprocess.Popen([self.modem_sim, "--link", self.modem_link, "--json",
                                     "--transcript", self.transcript, "--idle-exit", "180",
                                     *options],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = self.sim.stdout.readline()
        check(first.startswith("device: /dev/pts/"), f"modem-sim said {first!r}")

    def start_named_sim(self, name, *options):
        """Another modem-sim, for instance `name`: (process, link, transcript), or None when it
        did not start (reported)."""
        link = os.path.join(self.tmp, f"modem-{name}")
        transcript = os.path.join(self.tmp, f"modem-{name}.jsonl")
        sim = subprocess.Popen([self.modem_sim, "--link", link, "--json", "--transcript",
                                transcript, "--idle-exit", "120", *options],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = sim.stdout.readline()
        if not first.startswith("device: /dev/pts/"):
            stop(sim)
            case(f"modem-sim {name} starts")(lambda: check(False, f"modem-sim said {first!r}"))
            return None
        return sim, link, transcript

    def stop_sim(self):
        stop(self.sim)

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
        return self.call_error(method, signature, *args)[0]

    def call_error(self, method, signature=None, *args):
        """The HRESULT and the whole error message of a call that must fail."""
        p = self.busctl(method, signature, *args)
        check(p.returncode != 0, f"{method} succeeded: {p.stdout.strip()}")
        hr = hresult_in(p.stderr)
        check(hr is not None, f"{method}: no HRESULT in {p.stderr.strip()!r}")
        return hr, p.stderr.strip().split("Call failed: ", 1)[1]

    def start_call(self, method, signature, *args, timeout=120):
        """A client process making one call and waiting up to `timeout` s for its answer."""
        return subprocess.Popen(["busctl", "--user", f"--timeout={timeout}", "call", BUS_NAME,
                                 OBJECT, INTERFACE, method, signature, *[str(a) for a in args]],
                                env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)

    def ping(self, timeout=3):
        return self.run(["busctl", "--user", f"--timeout={timeout}", "call", BUS_NAME, OBJECT,
                         "org.freedesktop.DBus.Peer", "Ping"], timeout + 7).returncode == 0

    def use_modem(self, port, charset=0):
        """Registers the service, saves `port` in its settings and opens it with Init."""
        p = self.run([self.server, "-RegServer"])
        check(p.returncode == 0, f"RegServer: {p.stderr.strip()}")
        self.busctl("Init")  # fixes the settings path; there is no SMSMgr.ini yet
        p = self.set_settings(port, 460800, 8, 0, 0, 1, 0, charset)
        check(p.returncode == 0, f"SetSettings: {p.stderr.strip()}")
        self.call_ok("Init")
        check(self.status() == [1, 0, 1, 1], f"status {self.status()}")

    def records(self):
        """What modem-sim has written to its transcript so far."""
        with open(self.transcript) as f:
            return [json.loads(line) for line in f if line.strip()]

    def commands(self, start=0):
        """The bytes of each command the modem received, from the `start`th on."""
        return [bytes.fromhex(r["bytes_hex"]) for r in self.records()
                if r["type"] == "command"][start:]

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


def hresult_in(stderr):
    m = re.search(r"Call failed: (0x[0-9A-Fa-f]{8}): ", stderr)
    return int(m.group(1), 16) if m else None


def finish(proc, seconds):
    """A client's (exit code, stderr); the code is None when it was ended after `seconds`."""
    try:
        _, err = proc.communicate(timeout=seconds)
        return proc.returncode, err
    except subprocess.TimeoutExpired:
        proc.kill()
        return None, proc.communicate()[1]


def stop(proc):
    """Ends a program the way a user would (SIGTERM), and for sure after 10 s."""
    if proc is not None and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=5)


def end_all(procs):
    for p in procs:
        if p is not None and p.poll() is None:
            p.kill()
            p.wait(timeout=5)


def text_mode_writes(number, text):
    return [b'AT+CSCS="PCCP437"' + LF_CR, b"AT+CMGF=1" + LF_CR,
            b'AT+CMGS="' + number + b'"' + LF_CR, text + EOM, b"AT$RESET"]


def pdu_mode_writes(length, pdu):
    return [b'AT+CSCS="UCS2"' + LF_CR, b"AT+CMEE=2" + LF_CR, b"AT+CMGF=0" + LF_CR,
            b"AT+CMGS=" + str(length).encode() + LF_CR, pdu.encode() + EOM, b"AT$RESET"]


def run_test(run_cases, make_world=None):
    """Runs the cases in a fresh World (or what `make_world` makes), cleans up, checks nothing
    is left; returns the exit code."""
    w = make_world() if make_world else World()
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


def on_stop_signal(signum, _frame):
    # Leave through the clean-up of run_test() when the runner's timeout ends the test.
    raise SystemExit(128 + signum)


def main(run_cases, make_world=None):
    signal.signal(signal.SIGTERM, on_stop_signal)
    sys.exit(run_test(run_cases, make_world))
