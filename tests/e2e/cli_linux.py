#!/usr/bin/python3
"""merel-sms on the real Linux service and modem-sim: configure on a fresh registration, sends in
both modes (the bytes on the wire), a send after the service has ended idle, --json, the port
list, input it refuses (standard input it cannot read, bytes that are not UTF-8), time-outs,
and the exit code and message of each kind of failure. The permission cases run the bus, the service and the
client as `nobody` when the test runs as root (as the user itself, with modes taken away,
otherwise).

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import json
import os
import shutil
import subprocess
import time

from dbus_world import World, case, check, main, report, text_mode_writes, wait_until

NUMBER = "+49 170 1234567"
GRUESSE_CP437 = b"Gr\x81\xe1e"
GRUESSE_UCS2 = "0047007200FC00DF0065"


class Cli:
    def __init__(self, world, prefix=()):
        build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
            world.built_server))))
        self.exe = os.path.join(build, "src", "cli", "merel-sms")
        self.world = world
        self.prefix = list(prefix)

    def __call__(self, *args, code=0, timeout=60):
        p = self.world.run(self.prefix + [self.exe, "--timeout", "30", *args], timeout)
        check(p.returncode == code,
              f"merel-sms {' '.join(args)}: exit {p.returncode}, want {code}: {p.stderr.strip()}")
        return p

    def fails(self, code, hint, *args):
        """Runs a failing command; the server's failures carry the HRESULT first."""
        p = self(*args, code=code)
        check(p.stderr.startswith("merel-sms: ") and "\nhint: " in p.stderr, f"{p.stderr!r}")
        check(hint in p.stderr, f"no hint {hint!r} in {p.stderr!r}")
        return p


AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def restricted_cases(w, pty):
    """Failures that need a service without write access to its folder or to the port. As
    root, a second world whose bus (and so the service it starts) and client run as nobody,
    with root's folder and pty; otherwise our own world with their modes taken away."""
    root = os.geteuid() == 0
    r = World() if root else w
    restore = []
    if not os.path.exists(w.ini):
        return report(False, "restricted cases", "no SMSMgr.ini from configure")
    try:
        if root:
            if not r.programs_present():
                return
            r.install()
            os.chmod(r.tmp, 0o1777)  # nobody's bus puts its socket there
            r.bus_user = AS_NOBODY
            r.start_bus()
            check(r.run([r.server, "-RegServer"]).returncode == 0, "RegServer")
            shutil.copy(w.ini, r.ini)
            cli = Cli(r, AS_NOBODY)
        else:
            cli = Cli(w)
            restore.append((w.bin, os.stat(w.bin).st_mode))
            os.chmod(w.bin, 0o555)
        restore.append((pty, os.stat(pty).st_mode))
        os.chmod(pty, 0o600 if root else 0)

        @case("a port without permission: exit 77 and the dialout hint")
        def _():
            # A running service keeps the port it has open; a new one must open it.
            check(wait_until(lambda: r.owner_pid() is None, 15), "the service did not end")
            p = cli.fails(77, "dialout", "send", "--mode", "text", NUMBER, "Hi")
            check(f"0x80070005: cannot open port {pty}: access denied" in p.stderr, p.stderr)

        @case("a settings folder without write access: exit 73 or 77 and the folder hint")
        def _():
            p = r.run(cli.prefix + [cli.exe, "configure", "--port", pty], 60)
            check(p.returncode in (73, 77), f"exit {p.returncode}: {p.stderr.strip()}")
            check(f"the folder {r.bin}/ needs write access" in p.stderr, p.stderr)
    finally:
        for path, mode in reversed(restore):
            os.chmod(path, mode)
        if root:
            r.cleanup()


def run_cases(w):
    if not w.set_up():
        return
    cli = Cli(w)

    @case("no service file registered: exit 69 and the registration hint")
    def _():
        cli.fails(69, "-RegServer", "status")

    @case("a service that cannot be started: exit 69, the bus named, a hint")
    def _():
        os.makedirs(os.path.dirname(w.service_file), exist_ok=True)
        with open(w.service_file, "w") as f:
            f.write("[D-BUS Service]\nName=MerelSMSManager.SMSMgr\nExec=/bin/false\n")
        p = cli.fails(69, "says why", "status")
        check(p.stderr.startswith("merel-sms: 0x80080005: the session bus could not start the "
                                  "service MerelSMSManager.SMSMgr ("), p.stderr)
        os.remove(w.service_file)
        # The bus keeps what it read; a reload lets it find the registered file later.
        w.run(["busctl", "--user", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
               "org.freedesktop.DBus", "ReloadConfig"])

    @case("no bus: exit 69 and a hint on the session bus")
    def _():
        env = {k: v for k, v in w.env.items()
               if k not in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")}
        p = subprocess.run([cli.exe, "--json", "status"], env=env, capture_output=True,
                           text=True, timeout=30)
        check(p.returncode == 69, f"exit {p.returncode}: {p.stderr}")
        reply = json.loads(p.stdout)
        check(reply["hresult"] == "0x80080005" and "no session bus" in reply["hint"], reply)

    @case("--json: a usage error is one object with the same keys as every failure")
    def _():
        p = cli("--json", "send", code=64)
        reply = json.loads(p.stdout)
        check(reply == {"command": "send", "ok": False, "hresult": None,
                        "error": "NUMBER is required",
                        "hint": "merel-sms --help lists the commands"}, reply)
        p = cli("--json", "configure", "--baud", "0", code=64)
        check("309" not in p.stdout and len(json.loads(p.stdout)["error"]) < 120, p.stdout)

    w.start_sim()
    pty = os.path.realpath(w.modem_link)

    @case("configure on a fresh registration saves the port and opens it")
    def _():
        p = w.run([w.server, "-RegServer"])
        check(p.returncode == 0, f"RegServer: {p.stderr.strip()}")
        cli("configure", "--port", pty, "--mode", "text")
        check(os.path.exists(w.ini), "no SMSMgr.ini written")
        status = json.loads(cli("--json", "status").stdout)
        check(status == {"command": "status", "ok": True, "settings_loaded": True,
                         "log_open": False, "port_open": True, "port_configured": True}, status)

    first_send = [0.0]

    @case("send in text mode puts the code page 437 bytes of Grüße on the wire")
    def _():
        before = len(w.commands())
        p = cli("send", NUMBER, "Grüße")
        first_send[0] = time.monotonic()
        check(p.stdout.startswith(f"sent in text mode to {NUMBER} ("), p.stdout)
        check(w.commands(before) == text_mode_writes(b"+491701234567", GRUESSE_CP437),
              f"wire {w.commands(before)}")

    @case("send --mode pdu --json sends the UCS2 text and prints one JSON object")
    def _():
        before = len(w.commands())
        p = cli("--json", "send", "--mode", "pdu", NUMBER, "Grüße")
        reply = json.loads(p.stdout)
        check(reply["ok"] and reply["mode"] == "pdu" and reply["number"] == NUMBER and
              reply["seconds"] > 0, reply)
        wire = w.commands(before)
        check(len(wire) == 6 and wire[4].startswith(b"00") and GRUESSE_UCS2.encode() in wire[4],
              f"wire {wire}")

    @case("a send 10 s later, after the service ended idle, succeeds (standard input)")
    def _():
        check(wait_until(lambda: w.owner_pid() is None, 15), "the service did not end idle")
        time.sleep(max(0.0, first_send[0] + 10 - time.monotonic()))
        before = len(w.commands())
        p = subprocess.run([cli.exe, "-q", "send", NUMBER], input="Hallo\n", env=w.env,
                           capture_output=True, text=True, timeout=60)
        check(p.returncode == 0 and p.stdout == "", f"exit {p.returncode}: {p.stderr.strip()}")
        # The new instance opens the port, which is followed by one ESC.
        check(w.commands(before) == [b"\x1b"] + text_mode_writes(b"+491701234567", b"Hallo"),
              f"wire {w.commands(before)}")

    @case("an empty standard input sends nothing: exit 65")
    def _():
        before = len(w.commands())
        for args in ([NUMBER], [NUMBER, "-"]):
            p = subprocess.run([cli.exe, "send", *args], stdin=subprocess.DEVNULL, env=w.env,
                               capture_output=True, text=True, timeout=60)
            check(p.returncode == 65, f"exit {p.returncode}: {p.stderr}")
            check(p.stderr.startswith("merel-sms: nothing to send: the text is empty\n"),
                  p.stderr)
        check(w.commands(before) == [], f"wire {w.commands(before)}")

    @case("standard input closed or a directory, or bytes that are not UTF-8: exit 65, the "
          "argument named, nothing on the wire")
    def _():
        before = len(w.commands())
        closed = subprocess.run([cli.exe, "send", NUMBER], preexec_fn=lambda: os.close(0),
                                env=w.env, capture_output=True, text=True, timeout=60)
        folder = os.open("/", os.O_RDONLY)
        try:
            directory = subprocess.run([cli.exe, "send", NUMBER, "-"], stdin=folder, env=w.env,
                                       capture_output=True, text=True, timeout=60)
        finally:
            os.close(folder)
        for p, why in ((closed, "standard input is closed"), (directory, "Is a directory")):
            check(p.returncode == 65, f"exit {p.returncode}: {p.stderr}")
            check(p.stderr.startswith("merel-sms: cannot read the text: ") and why in p.stderr,
                  p.stderr)
        for args, named in (([b"send", b"+49\xff170", b"Hi"], "NUMBER"),
                            ([b"send", NUMBER.encode(), b"Gr\xfc\xdfe"], "TEXT"),
                            ([b"configure", b"--port", b"/dev/tty\xff"], "--port")):
            p = subprocess.run([cli.exe.encode(), b"--json", *args], env=w.env,
                               capture_output=True, timeout=60)
            check(p.returncode == 65, f"{args}: exit {p.returncode}: {p.stderr!r}")
            reply = json.loads(p.stdout.decode("utf-8"))  # strict: the bytes are not echoed
            check(reply["error"].startswith(named + " is not UTF-8"), reply)
        check(w.commands(before) == [], f"wire {w.commands(before)}")
        check(json.loads(cli("--json", "settings").stdout)["port"] == pty, "port changed")

    @case("a send that outlasts --timeout: exit 75, it may have gone out, and it did")
    def _():
        before = len(w.commands())
        p = w.run([cli.exe, "--timeout", "2", "send", "--mode", "text", NUMBER, "late"], 60)
        check(p.returncode == 75, f"exit {p.returncode}: {p.stderr}")
        check("no answer from the service in time" in p.stderr and
              "the SMS may or may not have gone out\nhint: " in p.stderr, p.stderr)
        want = text_mode_writes(b"+491701234567", b"late")
        # It had begun writing when the client gave up: the service finishes it.
        check(wait_until(lambda: w.commands(before) == want, 15), f"wire {w.commands(before)}")

    @case("--timeout 1e20, beyond what D-Bus counts, is no limit to sd-bus: the send goes out")
    def _():
        before = len(w.commands())
        p = w.run([cli.exe, "--timeout", "1e20", "send", "--mode", "text", NUMBER, "Hi"], 60)
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr}")
        check(w.commands(before) == text_mode_writes(b"+491701234567", b"Hi"), "wire")

    @case("configure --mode alone keeps the stored port")
    def _():
        p = cli("configure", "--mode", "pdu")
        check(p.stdout == f"saved and opened port {pty} at 460800 baud, pdu mode\n", p.stdout)
        s = json.loads(cli("--json", "settings").stdout)
        check(s["port"] == pty and s["character_set"] == 1, s)
        cli("configure", "--mode", "text")
        p = cli("configure", code=64)
        check("nothing to change" in p.stderr, p.stderr)

    @case("ports: the device first, as --port takes it; an empty list is said")
    def _():
        p = cli("ports")
        reply = json.loads(cli("--json", "ports").stdout)
        check(len(reply["devices"]) == len(reply["ports"]), reply)
        check([line.split()[0] for line in p.stdout.splitlines()] == reply["devices"], p.stdout)
        check(all(d.startswith("/dev/") for d in reply["devices"]), reply)
        if not reply["devices"]:
            check(p.stdout == "" and "no serial port found" in p.stderr, p.stderr)

    @case("settings --json parses and shows the stored port")
    def _():
        s = json.loads(cli("--json", "settings").stdout)
        check(s["port"] == pty and s["character_set"] == 0 and s["baudrate"] == 460800, s)

    @case("refused input: exit 65 with what is allowed, nothing on the wire")
    def _():
        before = len(w.commands())
        p = cli.fails(65, "at most 20 digits", "send", "--mode", "pdu", "+" + "9" * 21, "Hi")
        check(p.stderr.startswith('merel-sms: 0x80070057: number "+999'), p.stderr)
        reply = json.loads(cli("--json", "send", "--mode", "pdu", "1x", "Hi", code=65).stdout)
        check(set(reply) == {"command", "ok", "hresult", "error", "hint"} and
              reply["hresult"] == "0x80070057", reply)
        p = cli.fails(65, "shorten", "send", NUMBER, "x" * 161)
        check("161 characters" in p.stderr and "160" in p.stderr, p.stderr)
        p = cli.fails(65, "--mode pdu", "send", "--mode", "text", NUMBER, "5 €")
        check("U+20AC '€'" in p.stderr, p.stderr)
        check(w.commands(before) == [], f"wire {w.commands(before)}")

    @case("a wrong port: exit 74, the port kept for a later fix")
    def _():
        p = cli.fails(74, "", "configure", "--port", "/dev/merel-no-such-port")
        check("cannot open port /dev/merel-no-such-port: no such device" in p.stderr, p.stderr)
        # A send opens the port first and says why it cannot, naming the port; no API words.
        p = cli.fails(74, "merel-sms configure --port", "send", NUMBER, "Hi")
        check(p.stderr.startswith("merel-sms: 0x80070002: cannot open port "
                                  "/dev/merel-no-such-port: no such device\n"), p.stderr)
        check("SetSettings" not in p.stderr and "call Init" not in p.stderr, p.stderr)
        cli("configure", "--port", pty)

    restricted_cases(w, pty)
    wait_until(lambda: not w.server_pids(), 15)  # the service ends idle


if __name__ == "__main__":
    main(run_cases)
