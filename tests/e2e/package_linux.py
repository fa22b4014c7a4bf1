#!/usr/bin/python3
"""The Debian package as an administrator meets it: it holds the README and the completion and
recommends bash-completion; lintian and systemd-analyze accept it, dpkg installs it, merel-sms
runs; on a private bus with the system bus's policy and the package's policy file, the system
service (as user merel-sms, with --system) takes its settings from root only and sends for a
member of group merel-sms, refuses an outsider at the bus, and no other user can take its name;
an instance for one modem (--instance) has the same rules under its own name; on a fresh user's private session bus
the installed activation file starts the service with that user's settings folder; the HTTP
front's unit is valid and not enabled, its configuration its user's alone, and the front, started
as its user with that configuration, lists and sends through the instance over the bus policy of
group merel-sms; dpkg --purge leaves none of the package's files.

Needs root and a machine where the package is not installed (the CI machine); otherwise the
cases are skipped. The test makes its own users and removes them. Builds the package with
tools/package.sh when build/packages/ has none.

Environment: MEREL_SOURCE.
"""

import glob
import gzip
import io
import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import selectors
import socket
import tarfile
import tempfile
import urllib.error
import urllib.parse
import urllib.request

from dbus_world import (BUS_CONFIG_HEAD, BUS_NAME, INTERFACE, OBJECT, case, check,
                        on_stop_signal, pid_alive, report, session_bus_config, skip,
                        text_mode_writes, wait_until)
import dbus_world

PACKAGE = "merel-sms-manager"
SERVICE = "/usr/libexec/merel-sms-manager/MerelSMSManager"
MODEM_SIM = "/usr/libexec/merel-sms-manager/modem-sim"
STATE = "/var/lib/merel-sms-manager"
MEMBER, OUTSIDER, HOME_USER = "merel-e2e-member", "merel-e2e-outsider", "merel-e2e-home"
HTTP_USER = "merel-sms-http"
HTTP_CONF = "/etc/merel-sms/http.conf"
HTTP_UNIT = "merel-sms-http.service"
NUMBER = "+491701234567"

# The system bus's own policy, and of the policy files only the package's.
SYSTEM_BUS_CONFIG = BUS_CONFIG_HEAD + """<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <include>/usr/share/dbus-1/system.d/MerelSMSManager.SMSMgr.conf</include>
</busconfig>
"""



def as_user(name, groups=None):
    """A command prefix that runs as `name` with its own groups, or with `groups` besides."""
    prefix = ["setpriv", f"--reuid={name}", f"--regid={name}"]
    return prefix + ([f"--groups={','.join(groups)}"] if groups else ["--init-groups"])


def names_in(path):
    with open(path) as f:
        return {line.split(":", 1)[0] for line in f if line.strip()}


class PackageWorld:
    def __init__(self):
        self.source = os.environ.get("MEREL_SOURCE") or os.path.dirname(
            os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self.tmp = tempfile.mkdtemp(prefix="merel-pkg-e2e-")
        os.chmod(self.tmp, 0o755)  # the test users reach their sockets through it
        self.env = dict(os.environ, LC_ALL="C.UTF-8")
        for var in ("DBUS_SESSION_BUS_ADDRESS", "DBUS_STARTER_ADDRESS", "DBUS_STARTER_BUS_TYPE",
                    "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS"):
            self.env.pop(var, None)
        # The port's lock files go to a folder of the test's own, sticky like /run/lock, so that
        # a lock left by another test's killed service cannot hold this test's port.
        lock_folder = os.path.join(self.tmp, "run-lock")
        os.mkdir(lock_folder)
        os.chmod(lock_folder, 0o1777)
        self.env["MEREL_LOCK_DIR"] = lock_folder
        self.procs = []  # modem-sims, bus daemons and the system service, as (Popen or pid)
        self.users = []
        self.installed = False
        self.users_before = names_in("/etc/passwd")
        self.groups_before = names_in("/etc/group")

    def run(self, args, timeout=60, env=None, **kw):
        return subprocess.run(args, env=env or self.env, capture_output=True, text=True,
                              timeout=timeout, **kw)

    def deb(self):
        found = sorted(glob.glob(os.path.join(self.source, "build", "packages",
                                              f"{PACKAGE}_*.deb")))
        if not found:
            p = self.run([os.path.join(self.source, "tools", "package.sh")], timeout=1800)
            check(p.returncode == 0, f"tools/package.sh: {p.stderr.strip()[-500:]}")
            found = sorted(glob.glob(os.path.join(self.source, "build", "packages",
                                                  f"{PACKAGE}_*.deb")))
        check(found, "no package in build/packages")
        return found[-1]

    def add_user(self, name, *options):
        self.users.append(name)
        p = self.run(["useradd", *options, name])
        check(p.returncode == 0, f"useradd {name}: {p.stderr.strip()}")

    def start_sim(self, name, owner):
        """modem-sim on a pty, given to `owner` (user:group) like a serial port; its transcript."""
        link = os.path.join(self.tmp, name)
        transcript = os.path.join(self.tmp, name + ".jsonl")
        sim = subprocess.Popen([MODEM_SIM, "--link", link, "--json", "--transcript",
                                transcript, "--idle-exit", "300"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.procs.append(sim)
        first = sim.stdout.readline()
        check(first.startswith("device: /dev/pts/"), f"modem-sim said {first!r}")
        pty = os.path.realpath(link)
        shutil.chown(pty, *owner.split(":"))
        os.chmod(pty, 0o660)
        return pty, transcript

    def start_bus(self, config, name, user=None, env=None):
        """A private bus daemon from `config` (of its socket's path), as `user` when given;
        its address."""
        folder = os.path.join(self.tmp, name)
        os.makedirs(folder)
        if user:
            shutil.chown(folder, user, user)
        conf = os.path.join(folder, "bus.conf")
        with open(conf, "w") as f:
            f.write(config(os.path.join(folder, "socket")))
        prefix = as_user(user) if user else []
        p = self.run(prefix + ["dbus-daemon", f"--config-file={conf}", "--fork",
                               "--print-address=1", "--print-pid=1", "--nopidfile"],
                     timeout=20, env=env)
        check(p.returncode == 0, f"dbus-daemon: {p.stderr.strip()}")
        address, pid = p.stdout.split("\n")[:2]
        self.procs.append(int(pid))
        return address.strip()

    def service_pids(self):
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    # A service still running after the purge reads as "... (deleted)".
                    if os.readlink(f"/proc/{entry}/exe").startswith(SERVICE):
                        pids.append(int(entry))
                except OSError:
                    pass
        return pids

    def stop_processes(self):
        """Ends what the test started, the last first: the service and the buses before the
        modem-sims; a service that a bus started ends with its bus."""
        for proc in reversed(self.procs):
            if isinstance(proc, int):
                try:
                    os.kill(proc, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                wait_until(lambda: not pid_alive(proc), 5)
            elif proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(timeout=5)
        self.procs = []  # their ids may be reused from here on
        wait_until(lambda: not self.service_pids(), 5)
        # Services that our buses started and that did not end with them.
        for pid in self.service_pids():
            os.kill(pid, signal.SIGKILL)

    def cleanup(self):
        self.stop_processes()
        for name in self.users:
            self.run(["userdel", "--remove", name])
        if self.installed:
            self.run(["dpkg", "--purge", PACKAGE], timeout=120)
        shutil.rmtree(self.tmp, ignore_errors=True)


def merel_sms(w, prefix, env, *args, timeout=90):
    return w.run(prefix + ["merel-sms", "--timeout", "60", *args], timeout=timeout, env=env)


def commands(transcript):
    if not os.path.exists(transcript):
        return []
    with open(transcript) as f:
        return [bytes.fromhex(r["bytes_hex"]) for r in map(json.loads, filter(str.strip, f))
                if r["type"] == "command"]


def system_bus_cases(w):
    pty, transcript = w.start_sim("system-modem", "root:dialout")
    address = w.start_bus(lambda socket: SYSTEM_BUS_CONFIG.replace("{socket}", socket),
                          "system-bus")
    env = dict(w.env, DBUS_SYSTEM_BUS_ADDRESS=address)
    service = subprocess.Popen(
        # The user's own groups, as a bus that starts it without systemd gives them.
        as_user("merel-sms") +
        [SERVICE, "--system", "--settings-dir", STATE], env=env,
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    w.procs.append(service)

    def owner():
        p = w.run(["busctl", "--system", "--json=short", "call", "org.freedesktop.DBus",
                   "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixUser",
                   "s", BUS_NAME], env=env)
        return json.loads(p.stdout)["data"][0] if p.returncode == 0 else None

    merel_uid = pwd.getpwnam("merel-sms").pw_uid

    @case("system bus: the service runs as user merel-sms with --system and owns the name")
    def _():
        check(wait_until(lambda: owner() is not None or service.poll() is not None, 15),
              "no owner within 15 s")
        if service.poll() is not None:
            check(False, f"service ended: {service.stderr.read().strip()}")
        check(owner() == merel_uid, f"owner uid {owner()}, want {merel_uid}")
        # Started by hand, the service ends 5 s after its last client: root stays connected
        # as one until the end.
        keeper = subprocess.Popen(
            [sys.executable, "-c", "import dbus, sys\n"
             f"bus = dbus.bus.BusConnection({address!r})\n"
             f"bus.call_blocking({BUS_NAME!r}, {OBJECT!r}, {INTERFACE!r}, "
             "'GetSMSManagerStatus', '', [])\nprint('held', flush=True)\nsys.stdin.read()\n"],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        w.procs.append(keeper)
        check(keeper.stdout.readline().strip() == "held", "root's call failed")

    @case("system bus: root configures, a member of group merel-sms sends; the bytes arrive")
    def _():
        member = as_user(MEMBER)
        p = merel_sms(w, [], env, "--system", "configure", "--port", pty)
        check(p.returncode == 0, f"configure: exit {p.returncode}: {p.stderr.strip()}")
        before = len(commands(transcript))
        p = merel_sms(w, member, env, "--system", "send", "--mode", "text", NUMBER, "Hi")
        check(p.returncode == 0, f"send: exit {p.returncode}: {p.stderr.strip()}")
        got = commands(transcript)[before:]
        want = text_mode_writes(NUMBER.encode(), b"Hi")
        check(got == want, f"modem got {got}, want {want}")
        ini = os.path.join(STATE, "SMSMgr.ini")
        check(os.path.exists(ini) and os.stat(ini).st_uid == merel_uid,
              f"{ini} missing or not the service user's")

    @case("system bus: a member may not change the settings, with or without the interface "
          "named; nothing is written; the member's other calls and root's SetSettings pass")
    def _():
        member = as_user(MEMBER)
        ini = os.path.join(STATE, "SMSMgr.ini")

        def state():
            with open(ini, "rb") as f:
                return (f.read(), os.stat(ini).st_mtime_ns, sorted(os.listdir(STATE)),
                        len(commands(transcript)))

        before = state()
        p = merel_sms(w, member, env, "--system", "configure", "--port", "/dev/ttyS0")
        check(p.returncode == 77 and "hint: only root may change the system service's "
              "settings: run it as root: sudo merel-sms --system configure --port /dev/ttyS0"
              in p.stderr, f"configure: exit {p.returncode}: {p.stderr.strip()}")
        args = ["sinnnnnn", "/dev/ttyS0", "9600", "8", "0", "0", "0", "0", "0"]
        p = w.run(member + ["busctl", "--system", "call", BUS_NAME, OBJECT, INTERFACE,
                            "SetSettings", *args], env=env)
        check(p.returncode != 0 and ("Access denied" in p.stderr or "AccessDenied" in p.stderr),
              f"busctl SetSettings: exit {p.returncode}: {p.stderr.strip()}")
        # The interface field is optional in a call: the policy must hold without it too.
        p = w.run(member + [sys.executable, "-c", "import dbus, sys\n"
                            f"bus = dbus.bus.BusConnection({address!r})\n"
                            "try:\n"
                            f"    bus.call_blocking({BUS_NAME!r}, {OBJECT!r}, None, "
                            "'SetSettings', 'sinnnnnn', ['/dev/ttyS0', 9600, 8, 0, 0, 0, 0, 0])\n"
                            "except dbus.DBusException as e:\n"
                            "    sys.exit(e.get_dbus_name())\n"], env=env)
        check(p.returncode != 0 and "AccessDenied" in p.stderr,
              f"SetSettings without interface: exit {p.returncode}: {p.stderr.strip()}")
        check(state() == before, "the settings file, the state folder or the port changed")
        for method in ("GetSettings", "Init", "TestPort", "GetSMSManagerStatus",
                       "GetDetectedCOMPortsOnHost"):
            p = w.run(member + ["busctl", "--system", "call", BUS_NAME, OBJECT, INTERFACE,
                                method], env=env)
            check(p.returncode == 0, f"member's {method}: exit {p.returncode}: {p.stderr}")
        p = merel_sms(w, [], env, "--system", "configure", "--baud", "115200")
        check(p.returncode == 0, f"root's configure: exit {p.returncode}: {p.stderr.strip()}")
        with open(ini, "rb") as f:
            check(b"Baudrate:115200" in f.read().replace(b" ", b""), "root's baud not stored")

    @case("system bus: a user outside the group is refused by the bus, nothing is written")
    def _():
        outsider = as_user(OUTSIDER)
        before = len(commands(transcript))
        p = w.run(outsider + ["busctl", "--system", "call", BUS_NAME, OBJECT, INTERFACE,
                              "SendTextMessage", "ss", NUMBER, "Hi"], env=env)
        check(p.returncode != 0 and ("Access denied" in p.stderr or "AccessDenied" in p.stderr),
              f"busctl: exit {p.returncode}: {p.stderr.strip()}")
        p = merel_sms(w, outsider, env, "--system", "send", NUMBER, "Hi")
        check(p.returncode == 77 and "usermod -aG merel-sms" in p.stderr,
              f"merel-sms send: exit {p.returncode}: {p.stderr.strip()}")
        check(commands(transcript)[before:] == [], "the modem got commands")

    @case("system bus: no other user can take the name, neither a member nor an outsider")
    def _():
        for user in (MEMBER, OUTSIDER):
            p = w.run(as_user(user) + [SERVICE, "--system", "--settings-dir", w.tmp], env=env,
                      timeout=30)
            check(p.returncode != 0 and "cannot take the bus name" in p.stderr and
                  "Permission denied" in p.stderr,
                  f"{user}: exit {p.returncode}: {p.stderr.strip()}")
        check(owner() == merel_uid, f"owner uid {owner()}")


def instance_cases(w):
    """An instance of the system service for one modem, as the template unit runs it, under the
    same bus policy as the plain service."""
    pty, transcript = w.start_sim("instance-modem", "root:dialout")
    address = w.start_bus(lambda socket: SYSTEM_BUS_CONFIG.replace("{socket}", socket),
                          "instance-bus")
    env = dict(w.env, DBUS_SYSTEM_BUS_ADDRESS=address)
    name = f"{BUS_NAME}.modem1"
    service = subprocess.Popen(
        as_user("merel-sms") +
        [SERVICE, "--system", "--instance", "modem1", "--settings-dir", STATE, "--keep-running"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    w.procs.append(service)

    def owner(bus_name):
        p = w.run(["busctl", "--system", "--json=short", "call", "org.freedesktop.DBus",
                   "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixUser",
                   "s", bus_name], env=env)
        return json.loads(p.stdout)["data"][0] if p.returncode == 0 else None

    merel_uid = pwd.getpwnam("merel-sms").pw_uid

    @case("instance: the service user owns MerelSMSManager.SMSMgr.modem1; root configures it, "
          "a member sends; the settings go to the instance's folder")
    def _():
        check(wait_until(lambda: owner(name) is not None or service.poll() is not None, 15),
              "no owner within 15 s")
        if service.poll() is not None:
            check(False, f"service ended: {service.stderr.read().strip()}")
        check(owner(name) == merel_uid, f"owner uid {owner(name)}, want {merel_uid}")
        p = merel_sms(w, [], env, "--system", "--modem", "modem1", "configure", "--port", pty)
        check(p.returncode == 0, f"configure: exit {p.returncode}: {p.stderr.strip()}")
        before = len(commands(transcript))
        p = merel_sms(w, as_user(MEMBER), env, "--system", "--modem", "modem1", "send", "--mode",
                      "text", NUMBER, "Hi")
        check(p.returncode == 0, f"send: exit {p.returncode}: {p.stderr.strip()}")
        got = commands(transcript)[before:]
        check(got == text_mode_writes(NUMBER.encode(), b"Hi"), f"modem got {got}")
        ini = os.path.join(STATE, "modem1", "SMSMgr.ini")
        check(os.path.exists(ini) and os.stat(ini).st_uid == merel_uid,
              f"{ini} missing or not the service user's")

    @case("instance: a member may not change its settings; an outsider may not call it")
    def _():
        args = ["sinnnnnn", "/dev/ttyS0", "9600", "8", "0", "0", "0", "0", "0"]
        p = w.run(as_user(MEMBER) + ["busctl", "--system", "call", name, OBJECT, INTERFACE,
                                     "SetSettings", *args], env=env)
        check(p.returncode != 0 and ("Access denied" in p.stderr or "AccessDenied" in p.stderr),
              f"member's SetSettings: exit {p.returncode}: {p.stderr.strip()}")
        p = w.run(as_user(MEMBER) + [sys.executable, "-c", "import dbus, sys\n"
                                     f"bus = dbus.bus.BusConnection({address!r})\n"
                                     "try:\n"
                                     f"    bus.call_blocking({name!r}, {OBJECT!r}, None, "
                                     "'SetSettings', 'sinnnnnn', "
                                     "['/dev/ttyS0', 9600, 8, 0, 0, 0, 0, 0])\n"
                                     "except dbus.DBusException as e:\n"
                                     "    sys.exit(e.get_dbus_name())\n"], env=env)
        check(p.returncode != 0 and "AccessDenied" in p.stderr,
              f"SetSettings without interface: exit {p.returncode}: {p.stderr.strip()}")
        p = w.run(as_user(MEMBER) + ["busctl", "--system", "call", name, OBJECT, INTERFACE,
                                     "GetSettings"], env=env)
        check(p.returncode == 0 and pty in p.stdout,
              f"member's GetSettings: exit {p.returncode}: {p.stdout} {p.stderr}")
        before = len(commands(transcript))
        p = w.run(as_user(OUTSIDER) + ["busctl", "--system", "call", name, OBJECT, INTERFACE,
                                       "SendTextMessage", "ss", NUMBER, "Hi"], env=env)
        check(p.returncode != 0 and ("Access denied" in p.stderr or "AccessDenied" in p.stderr),
              f"outsider: exit {p.returncode}: {p.stderr.strip()}")
        check(commands(transcript)[before:] == [], "the modem got commands")

    @case("instance: no other user can take an instance's name, taken or free")
    def _():
        for user in (MEMBER, OUTSIDER):
            for instance in ("modem1", "modem2"):
                p = w.run(as_user(user) + [SERVICE, "--system", "--instance", instance,
                                           "--settings-dir", w.tmp], env=env, timeout=30)
                check(p.returncode != 0 and "cannot take the bus name " + BUS_NAME + "." +
                      instance in p.stderr and "Permission denied" in p.stderr,
                      f"{user} {instance}: exit {p.returncode}: {p.stderr.strip()}")
        check(owner(name) == merel_uid, f"owner uid {owner(name)}")

    @case("instance: merel-sms --system modems lists it with its port")
    def _():
        p = merel_sms(w, [], env, "--system", "modems")
        check(p.returncode == 0 and p.stdout.split() == ["modem1", pty, "port", "open", "and",
                                                          "configured"],
              f"exit {p.returncode}: {p.stdout} {p.stderr.strip()}")

    return address, pty, transcript


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_front_cases(w, address, pty, transcript):
    """The HTTP front as its unit runs it: as user merel-sms-http with the packaged
    configuration (bus = system), on the private system bus where the instance modem1 runs."""
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    # The environment that systemd gives a service of User=merel-sms-http.
    env = {"PATH": w.env["PATH"], "HOME": "/", "USER": HTTP_USER, "LOGNAME": HTTP_USER,
           "LC_ALL": "C.UTF-8", "DBUS_SYSTEM_BUS_ADDRESS": address}
    # The configuration's listen is the packaged 13013; the test owns the port it gives instead.
    front = subprocess.Popen(as_user(HTTP_USER) + ["merel-sms-http", "--config", HTTP_CONF,
                                                   "--listen", f"127.0.0.1:{port}"],
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    w.procs.append(front)

    def get(path, data=None, timeout=90):
        """(status, body) of one request."""
        try:
            with urllib.request.urlopen(base + path, data=data, timeout=timeout) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    @case("HTTP front: as its user, with the packaged configuration, it listens and says so")
    def _():
        selector = selectors.DefaultSelector()
        selector.register(front.stderr, selectors.EVENT_READ)
        ready = selector.select(timeout=15)
        line = front.stderr.readline().decode().strip() if ready else ""
        want = f"merel-sms-http: listening on {base} (system bus)"
        check(line == want, f"said {line!r} (exit {front.poll()}), want {want!r}")

    @case("HTTP front: GET /v1/modems lists the instance modem1 with its port, reached as a "
          "member of group merel-sms")
    def _():
        status, body = get("/v1/modems")
        check(status == 200, f"{status} {body}")
        modems = json.loads(body)["modems"]
        check([(m["modem"], m["port"], m["ok"]) for m in modems] == [("modem1", pty, True)],
              body)

    @case("HTTP front: Kannel's sendsms through smsc=modem1 answers 202 '0: Accepted for "
          "delivery' and the modem gets the SMS")
    def _():
        before = len(commands(transcript))
        form = urllib.parse.urlencode({"to": NUMBER, "text": "Hi", "smsc": "modem1"}).encode()
        status, body = get("/cgi-bin/sendsms", data=form)
        check((status, body) == (202, "0: Accepted for delivery\n"), f"{status} {body!r}")
        got = commands(transcript)[before:]
        check(got == text_mode_writes(NUMBER.encode(), b"Hi"), f"modem got {got}")

    @case("HTTP front: SIGTERM stops it, exit 0")
    def _():
        check(front.poll() is None, f"it had ended before: exit {front.returncode}")
        front.terminate()
        try:
            check(front.wait(timeout=15) == 0, f"exit {front.returncode}")
        except subprocess.TimeoutExpired:
            check(False, "still running 15 s after SIGTERM")


def session_bus_cases(w):
    pty, transcript = w.start_sim("session-modem", "root:dialout")
    home = pwd.getpwnam(HOME_USER).pw_dir
    env = {"PATH": w.env["PATH"], "HOME": home, "USER": HOME_USER, "LC_ALL": "C.UTF-8",
           "MEREL_LOCK_DIR": w.env["MEREL_LOCK_DIR"]}
    env["DBUS_SESSION_BUS_ADDRESS"] = w.start_bus(session_bus_config, "session-bus", HOME_USER,
                                                  env)
    user = as_user(HOME_USER)

    @case("session bus: a fresh user's configure and send start the installed service")
    def _():
        p = merel_sms(w, user, env, "configure", "--port", pty)
        check(p.returncode == 0, f"configure: exit {p.returncode}: {p.stderr.strip()}")
        before = len(commands(transcript))
        p = merel_sms(w, user, env, "send", "--mode", "text", NUMBER, "Hi")
        check(p.returncode == 0, f"send: exit {p.returncode}: {p.stderr.strip()}")
        got = commands(transcript)[before:]
        check(got == text_mode_writes(NUMBER.encode(), b"Hi"), f"modem got {got}")

    @case("session bus: SMSMgr.ini lands in ~/.config/MerelSMSManager, private to the user")
    def _():
        folder = os.path.join(home, ".config", "MerelSMSManager")
        ini = os.path.join(folder, "SMSMgr.ini")
        check(os.path.exists(ini), f"no {ini}")
        with open(ini, "rb") as f:
            check(f.read().startswith(b"Port:" + pty.encode() + b"\r\n"), "wrong port stored")
        info = os.stat(folder)
        check(info.st_uid == pwd.getpwnam(HOME_USER).pw_uid and info.st_mode & 0o777 == 0o700,
              f"folder uid {info.st_uid} mode {oct(info.st_mode)}")


def run_cases(w):
    deb = w.deb()
    package_files = [line.split()[-1][1:] for line in
                     w.run(["dpkg-deb", "-c", deb]).stdout.splitlines()
                     if not line.startswith("d")]

    @case("the package holds the README and the completion, recommends bash-completion and "
          "depends on cpp-httplib")
    def _():
        doc = "/usr/share/doc/merel-sms-manager/README.md.gz"
        completion = "/usr/share/bash-completion/completions/merel-sms"
        missing = [f for f in (doc, completion) if f not in package_files]
        check(not missing, f"not in the package: {missing}")
        tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True,
                             timeout=60, check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(tar)) as t:
            readme = gzip.decompress(t.extractfile("." + doc).read())
        with open(os.path.join(w.source, "README.md"), "rb") as f:
            check(readme == f.read(), f"{doc} is not the source's README.md")
        recommends = w.run(["dpkg-deb", "--field", deb, "Recommends"]).stdout
        check("bash-completion" in [r.strip() for r in recommends.split(",")],
              f"Recommends: {recommends.strip()}")
        depends = w.run(["dpkg-deb", "--field", deb, "Depends"]).stdout
        check("libcpp-httplib0.11" in [d.split()[0] for d in depends.split(",")],
              f"Depends: {depends.strip()}")

    @case("lintian reports no error on the package")
    def _():
        p = w.run(["lintian", "--fail-on", "error", deb], timeout=300)
        check(p.returncode == 0, p.stdout.strip() or p.stderr.strip())

    @case("dpkg -i installs the package; merel-sms --version runs")
    def _():
        p = w.run(["dpkg", "-i", deb], timeout=120)
        w.installed = True
        check(p.returncode == 0, p.stderr.strip())
        p = w.run(["merel-sms", "--version"])
        check(p.returncode == 0 and p.stdout.startswith("merel-sms "), p.stdout + p.stderr)
        check("merel-sms" in names_in("/etc/passwd"), "no user merel-sms")
        check("merel-sms" in names_in("/etc/group"), "no group merel-sms")

    @case("the service user merel-sms is in group dialout, without the unit's help")
    def _():
        p = w.run(["id", "-nG", "merel-sms"])
        check(p.returncode == 0 and "dialout" in p.stdout.split(),
              f"id merel-sms: {p.stdout.strip()} {p.stderr.strip()}")

    @case("systemd-analyze verify accepts the installed units: the service, the template of one "
          "per modem, the HTTP front")
    def _():
        for unit in ("merel-sms-manager.service", "merel-sms-manager@.service", HTTP_UNIT):
            p = w.run(["systemd-analyze", "verify", f"/usr/lib/systemd/system/{unit}"])
            check(p.returncode == 0 and not p.stderr.strip(), f"{unit}: {p.stderr.strip()}")

    @case("HTTP front: its unit is hardened and not enabled; its user is in group merel-sms; "
          "its configuration is that user's alone and names the system bus")
    def _():
        # systemd's own rating, 0 (none exposed) to 10; the unit stays "OK" (below 2).
        p = w.run(["systemd-analyze", "security", "--offline=yes", "--threshold=20",
                   f"/usr/lib/systemd/system/{HTTP_UNIT}"])
        check(p.returncode == 0, f"exposure: {p.stdout.strip().splitlines()[-1:]}")
        enabled = glob.glob(f"/etc/systemd/system/*/{HTTP_UNIT}")
        check(not enabled, f"enabled: {enabled}")
        p = w.run(["id", "-nG", HTTP_USER])
        check(p.returncode == 0 and "merel-sms" in p.stdout.split(),
              f"id {HTTP_USER}: {p.stdout.strip()} {p.stderr.strip()}")
        info = os.stat(HTTP_CONF)
        check(info.st_uid == pwd.getpwnam(HTTP_USER).pw_uid and info.st_mode & 0o777 == 0o600,
              f"{HTTP_CONF}: uid {info.st_uid} mode {oct(info.st_mode & 0o777)}")
        with open(HTTP_CONF) as f:
            settings = [line.split() for line in f if line.strip() and not line.startswith("#")]
        check(["bus", "=", "system"] in settings, f"settings: {settings}")

    w.add_user(MEMBER, "--system", "--no-create-home", "--groups", "merel-sms")
    w.add_user(OUTSIDER, "--system", "--no-create-home")
    w.add_user(HOME_USER, "--create-home", "--groups", "dialout")
    system_bus_cases(w)
    http_front_cases(w, *instance_cases(w))
    session_bus_cases(w)

    @case("dpkg --purge leaves none of the package's files and only the users merel-sms and "
          "merel-sms-http")
    def _():
        w.stop_processes()  # the service and the buses go first, as on a real system
        p = w.run(["dpkg", "--purge", PACKAGE], timeout=120)
        check(p.returncode == 0, p.stderr.strip())
        w.installed = False
        left = [f for f in package_files + [STATE] if os.path.lexists(f)]
        check(not left, f"left behind: {left}")
        for name in w.users:
            w.run(["userdel", "--remove", name])
        w.users = []
        # Debian keeps system users on purge; see packaging/debian/postrm.
        kept = {"merel-sms", HTTP_USER}
        check(names_in("/etc/passwd") - w.users_before <= kept, "extra users")
        check(names_in("/etc/group") - w.groups_before <= kept, "extra groups")


def main():
    signal.signal(signal.SIGTERM, on_stop_signal)
    if os.geteuid() != 0:
        skip("the Debian package installs and purges", "needs root")
        return 0
    if subprocess.run(["dpkg", "-s", PACKAGE], capture_output=True).returncode == 0:
        skip("the Debian package installs and purges", f"{PACKAGE} is installed on this machine")
        return 0
    w = PackageWorld()
    try:
        case("the package is built")(lambda: w.deb())
        if dbus_world.failures == 0:
            run_cases(w)
    finally:
        w.cleanup()
        leftovers = w.service_pids()
        report(not leftovers and not os.path.exists(w.tmp),
               "no process, folder, user or package of the test is left behind",
               f"services still running: {leftovers}")
    return 1 if dbus_world.failures else 0


if __name__ == "__main__":
    sys.exit(main())
