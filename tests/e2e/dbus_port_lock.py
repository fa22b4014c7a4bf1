#!/usr/bin/python3
"""The Linux service takes its port as Linux programs expect, on a private session bus with
modem-sim on a pseudo terminal named through a link: a UUCP lock file naming the service while
the port is open, gone once it ends; a new service after one killed with -9 mid-send takes the
port at once; a live lock file refuses the port and names its holder; a stale one is taken
over. The bus, the service and the clients run as nobody when the test runs as root (root
passes a terminal's exclusive mode), as the user itself otherwise. Lock files go to the test's
own folder (MEREL_LOCK_DIR).

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import os
import signal
import subprocess
import termios

from cli_linux import AS_NOBODY
from dbus_world import (BUS_NAME, INTERFACE, OBJECT, World, case, check, finish, main,
                        pid_alive, text_mode_writes, wait_until)

NUMBER, TEXT = "+49 170 1234567", "Locked"
WRITES = text_mode_writes(b"+491701234567", TEXT.encode())


class UserWorld(World):
    """A world whose every program but modem-sim runs as `prefix` says."""

    def __init__(self, prefix):
        super().__init__()
        self.prefix = prefix
        self.bus_user = prefix

    def run(self, args, timeout=30):
        return super().run(self.prefix + args, timeout)

    def start_call(self, method, signature, *args, timeout=120):
        return subprocess.Popen(self.prefix + ["busctl", "--user", f"--timeout={timeout}",
                                               "call", BUS_NAME, OBJECT, INTERFACE, method,
                                               signature, *[str(a) for a in args]],
                                env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)


def hdb(pid):
    return f"{pid:10d}\n"


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return None


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait(timeout=10)
    return p.pid


def run_cases(w):
    if not w.programs_present():
        return
    w.install()
    folder = os.path.join(w.tmp, "lock")
    os.mkdir(folder)
    if w.prefix:
        # nobody's bus puts its socket in the folder, and the service writes the settings.
        os.chmod(w.tmp, 0o1777)
        os.chmod(w.bin, 0o777)
    # Without the sticky bit of /run/lock, so that the service may remove the test's stale locks.
    os.chmod(folder, 0o777)
    w.env["MEREL_LOCK_DIR"] = folder
    w.start_bus()
    w.start_sim()
    pty = os.path.realpath(w.modem_link)
    if w.prefix:
        os.chmod(pty, 0o666)
    lock = os.path.join(folder, "LCK.." + pty[len("/dev/"):].replace("/", "_"))

    def ended():
        return wait_until(lambda: w.owner_pid() is None and not w.server_pids(), 15)

    def sends():
        start = len(w.commands())
        w.call_ok("SendMessage", "ss", NUMBER, TEXT, timeout=60)
        got = w.commands(start)
        check(got == WRITES, f"the modem received {got!r}")

    @case("the lock file names the service while the port is open, under its device's name")
    def _():
        w.use_modem(w.modem_link)
        check(read(lock) == hdb(w.owner_pid()), f"{lock} holds {read(lock)!r}")
        check(os.listdir(folder) == [os.path.basename(lock)], f"{os.listdir(folder)}")

    @case("the lock file is gone once the service has ended")
    def _():
        check(ended(), "the service did not end idle")
        check(read(lock) is None, f"{lock} still holds {read(lock)!r}")

    @case("killed with -9 mid-send, the service leaves a port the next one sends on at once")
    def _():
        w.call_ok("Init")
        pid = w.owner_pid()
        # The test's own descriptor stops the line, so the send hangs in its first write.
        line = os.open(pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            termios.tcflow(line, termios.TCOOFF)
            proc = w.start_call("SendMessage", "ss", NUMBER, TEXT)
            stuck = not wait_until(lambda: proc.poll() is not None, 1.5)
            os.kill(pid, signal.SIGKILL)
            check(wait_until(lambda: not pid_alive(pid), 5), "still running after SIGKILL")
            code, err = finish(proc, 10)
            termios.tcflush(line, termios.TCOFLUSH)
            termios.tcflow(line, termios.TCOON)
        finally:
            os.close(line)
        check(stuck, "the send was not held by the stopped line")
        check(code not in (None, 0), f"the killed send answered {code}: {err.strip()!r}")
        check(read(lock) == hdb(pid), f"the killed service's lock holds {read(lock)!r}")
        w.call_ok("Init")
        sends()
        check(read(lock) == hdb(w.owner_pid()), f"{lock} holds {read(lock)!r}")

    sleeper = None
    try:
        @case("a live lock file refuses the port, names its holder, and nothing reaches the line")
        def _():
            nonlocal sleeper
            check(ended(), "the service did not end idle")
            sleeper = subprocess.Popen(["sleep", "120"])
            with open(lock, "w") as f:
                f.write(hdb(sleeper.pid))
            start = len(w.commands())
            hr, message = w.call_error("Init")
            check(hr == 0x80070020 and message.startswith(
                f"0x80070020: cannot open port {w.modem_link}: in use by another program "
                f"(process {sleeper.pid} holds the lock file {lock})"), message)
            hr, message = w.call_error("SendMessage", "ss", NUMBER, TEXT)
            check(f"process {sleeper.pid} holds the lock file {lock}" in message, message)
            check(not wait_until(lambda: len(w.commands()) > start, 1.5),
                  f"the modem received {w.commands(start)!r}")
            check(read(lock) == hdb(sleeper.pid), f"{lock} holds {read(lock)!r}")
    finally:
        if sleeper is not None:
            sleeper.kill()
            sleeper.wait(timeout=5)

    @case("a stale lock file is removed and the send goes out")
    def _():
        for stale in (hdb(dead_pid()), "garbage\n"):
            check(ended(), "the service did not end idle")
            with open(lock, "w") as f:
                f.write(stale)
            w.call_ok("Init")
            check(read(lock) == hdb(w.owner_pid()), f"{lock} holds {read(lock)!r}")
            sends()

    @case("the service ends idle and leaves nothing in the lock folder")
    def _():
        check(ended(), "the service did not end idle")
        check(os.listdir(folder) == [], f"left in the lock folder: {os.listdir(folder)}")


if __name__ == "__main__":
    main(run_cases, lambda: UserWorld(AS_NOBODY if os.geteuid() == 0 else []))
