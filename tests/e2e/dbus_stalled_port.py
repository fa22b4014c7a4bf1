#!/usr/bin/python3
"""The Linux service on a port that takes no bytes, on a private session bus.

The modem is a raw pseudo terminal held by the test: once with its output stopped (as a modem
holding CTS low stops the line), once with its other side never read until the kernel takes no
more. A send must end with 0x8007001D within the write limit, nothing of it may reach the
modem when the line moves again, the service must answer the bus meanwhile, and a stop signal
must end it while a send is stuck. Prints one line per case; exits non-zero when a case failed.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import fcntl
import os
import re
import select
import signal
import subprocess
import termios
import time

from dbus_world import (BUS_NAME, INTERFACE, OBJECT, case, check, main, pid_alive, report,
                        text_mode_writes, wait_until)

NUMBER, TEXT = "+49 170 1234567", "Stalled"
# The write limit that the service gives the port at 460800 baud: 10 s, plus 2 ms for each of
# the 19 bytes of the first command. The margin covers starting busctl and slow (sanitizer)
# builds.
LIMIT_S = 10 + 2 * 19 / 1000
MARGIN_S = 4
E_WRITE_FAULT = 0x8007001D


def drain(fd, quiet=0.5, longest=20):
    """Everything the modem's side receives until it stays quiet for `quiet` seconds."""
    got = b""
    end = time.monotonic() + longest
    while time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], quiet)
        if not ready:
            break
        try:
            got += os.read(fd, 65536)
        except BlockingIOError:
            pass
    return got


def fill(fd):
    """Writes into the terminal until it takes no more, as a modem that never reads lets it
    fill: down to single bytes, and again while the kernel still makes room."""
    total = 0
    while True:
        for chunk in (4096, 1):
            try:
                while True:
                    total += os.write(fd, b"f" * chunk)
            except BlockingIOError:
                pass
        if not select.select([], [fd], [], 0.05)[1]:
            return total


class Modem:
    """A pseudo terminal: the service opens the terminal side by its path; the test keeps the
    master as the modem and its own descriptor of the terminal side to stop or fill the line."""

    def __init__(self):
        self.master, self.terminal = os.openpty()
        self.path = os.ttyname(self.terminal)
        for fd in (self.master, self.terminal):
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)

    def stop(self):
        # The stop belongs to the writing side: the terminal's output, which the service writes.
        termios.tcflow(self.terminal, termios.TCOOFF)

    def restart(self):
        termios.tcflow(self.terminal, termios.TCOON)

    def close(self):
        os.close(self.master)
        os.close(self.terminal)


def start_send(w):
    return subprocess.Popen(["busctl", "--user", "--timeout=120", "call", BUS_NAME, OBJECT,
                             INTERFACE, "SendMessage", "ss", NUMBER, TEXT],
                            env=w.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc, seconds):
    """The busctl's (exit code, stderr), ending it if it is still running after `seconds`."""
    try:
        _, err = proc.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        _, err = proc.communicate()
        return None, err
    return proc.returncode, err


def ping(w):
    p = w.run(["busctl", "--user", "--timeout=3", "call", BUS_NAME, OBJECT,
               "org.freedesktop.DBus.Peer", "Ping"], timeout=10)
    return p.returncode == 0


def stuck_send(w):
    """A send on a stalled line, with a ping one second into it: what the caller saw."""
    start = time.monotonic()
    proc = start_send(w)
    time.sleep(1)
    answered = ping(w)
    code, err = finish(proc, LIMIT_S + MARGIN_S + 30)
    m = re.search(r"Call failed: (0x[0-9A-Fa-f]{8}): ", err)
    return {"elapsed": time.monotonic() - start, "answered": answered, "code": code,
            "result": int(m.group(1), 16) if m else None, "stderr": err.strip()}


def check_failed_in_time(seen):
    check(seen["code"] is not None, "SendMessage still running long after the limit")
    check(seen["result"] == E_WRITE_FAULT, f"SendMessage gave {seen['stderr']!r}")
    check(seen["elapsed"] <= LIMIT_S + MARGIN_S, f"took {seen['elapsed']:.1f} s")


def run_cases(w):
    if not os.access(w.built_server, os.X_OK):
        report(False, "built programs are present", f"missing {w.built_server}")
        return
    w.install()
    w.start_bus()
    modem = Modem()
    try:
        run_stalls(w, modem)
    finally:
        modem.close()


def run_stalls(w, modem):
    @case("the service starts, saves the pseudo terminal as its port and opens it")
    def _():
        p = w.run([w.server, "-RegServer"])
        check(p.returncode == 0, f"RegServer exit {p.returncode}: {p.stderr.strip()}")
        check(w.call_fails("Init") == 0x80070002, "Init without SMSMgr.ini")
        p = w.set_settings(modem.path, 460800, 8, 0, 0, 1, 0, 0)
        check(p.returncode == 0, p.stderr.strip())
        check(w.call_ok("Init") is None, "Init")
        check(w.status() == [1, 0, 1, 1], f"status {w.status()}")

    modem.stop()
    stopped = stuck_send(w)

    @case("stopped line: SendMessage returns 0x8007001D within the write limit")
    def _():
        check_failed_in_time(stopped)

    @case("stopped line: the service answers Peer.Ping while the send is stuck")
    def _():
        check(stopped["answered"], "no answer within 3 s")

    @case("stopped line: nothing of the failed send reaches the modem when the line moves")
    def _():
        modem.restart()
        got = drain(modem.master)
        check(got == b"", f"the modem received {got[:80]!r}")

    filled = fill(modem.terminal)
    unread = stuck_send(w)

    @case("never-read line: SendMessage returns 0x8007001D within the write limit")
    def _():
        check_failed_in_time(unread)

    @case("never-read line: the service answers Peer.Ping while the send is stuck")
    def _():
        check(unread["answered"], "no answer within 3 s")

    @case("never-read line: once read, it carries the filler and nothing of the failed send")
    def _():
        got = drain(modem.master)
        check(len(got) <= filled and got == b"f" * len(got),
              f"{len(got)} bytes after {filled} of filler, ending {got[-80:]!r}")

    @case("the line moving again, the next send goes out whole")
    def _():
        w.call_ok("SendMessage", "ss", NUMBER, "Hello", timeout=60)
        got = drain(modem.master)
        expected = b"".join(text_mode_writes(b"+491701234567", b"Hello"))
        check(got == expected, f"the modem received {got!r}")

    @case("a stop signal ends the service while a send is stuck, sending nothing")
    def _():
        pid = w.owner_pid()
        check(pid is not None, "no service")
        modem.stop()
        proc = start_send(w)
        try:
            time.sleep(1)
            os.kill(pid, signal.SIGTERM)
            ended = wait_until(lambda: not pid_alive(pid), 5)
            released = w.owner_pid() is None
            code, err = finish(proc, 10)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        # However the stuck write ends, nothing of it may reach the modem afterwards.
        wait_until(lambda: not pid_alive(pid), LIMIT_S + MARGIN_S)
        modem.restart()
        got = drain(modem.master)
        check(ended, "still running 5 s after SIGTERM")
        check(released, "the bus name is still taken")
        check(code not in (None, 0), f"the stuck caller got {code}: {err.strip()!r}")
        check(got == b"", f"the modem received {got[:80]!r}")


if __name__ == "__main__":
    main(run_cases)
