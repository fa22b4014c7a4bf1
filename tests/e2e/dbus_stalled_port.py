#!/usr/bin/python3
"""The Linux service on a port that takes no bytes, on a private session bus: a raw pseudo
terminal held by the test, once with its output stopped (a modem holding CTS low), once with
its other side never read until the kernel takes no more.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import fcntl
import os
import select
import signal
import termios
import time

from dbus_world import (case, check, finish, hresult_in, main, pid_alive, text_mode_writes,
                        wait_until)

NUMBER, TEXT = "+49 170 1234567", "Stalled"
# The service's write limit at 460800 baud is 10 s plus 2 ms for each of the 19 bytes of the
# first command; the margin covers starting busctl and slow (sanitizer) builds.
LIMIT_S = 10 + 2 * 19 / 1000
MARGIN_S = 4


def drain(fd, quiet=0.5, longest=20):
    """Everything the modem's side receives until it stays quiet for `quiet` seconds."""
    got = b""
    end = time.monotonic() + longest
    while time.monotonic() < end and select.select([fd], [], [], quiet)[0]:
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
    """The service opens the terminal side by its path; the test keeps the master as the modem
    and its own descriptor of the terminal side to stop or fill the line."""

    def __init__(self):
        self.master, self.terminal = os.openpty()
        self.path = os.ttyname(self.terminal)
        for fd in (self.master, self.terminal):
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)

    # The stop belongs to the writing side: the terminal's output, which the service writes.
    def stop(self):
        termios.tcflow(self.terminal, termios.TCOOFF)
        return 0

    def restart(self):
        termios.tcflow(self.terminal, termios.TCOON)

    def close(self):
        os.close(self.master)
        os.close(self.terminal)


def start_send(w):
    return w.start_call("SendMessage", "ss", NUMBER, TEXT)


def run_cases(w):
    if not w.set_up():
        return
    modem = Modem()
    try:
        run_stalls(w, modem)
    finally:
        modem.close()


def run_stalls(w, modem):
    @case("the service starts, saves the pseudo terminal as its port and opens it")
    def _():
        w.use_modem(modem.path)
        # The open is followed by one ESC, for a message some earlier process left open.
        got = drain(modem.master)
        check(got == b"\x1b", f"the modem received {got!r}")

    for label, stall, move in (("stopped line", modem.stop, modem.restart),
                               ("never-read line", lambda: fill(modem.terminal), lambda: None)):
        filled = stall()
        start = time.monotonic()
        proc = start_send(w)
        time.sleep(1)
        answered = w.ping()
        code, err = finish(proc, LIMIT_S + MARGIN_S + 30)
        elapsed = time.monotonic() - start

        @case(f"{label}: SendMessage returns 0x8007001D within the write limit")
        def _():
            check(code is not None, "SendMessage still running long after the limit")
            check(hresult_in(err) == 0x8007001D, f"SendMessage gave {err.strip()!r}")
            check(elapsed <= LIMIT_S + MARGIN_S, f"took {elapsed:.1f} s")

        @case(f"{label}: the service answers Peer.Ping while the send is stuck")
        def _():
            check(answered, "no answer within 3 s")

        @case(f"{label}: once the line moves, it carries nothing of the failed send")
        def _():
            move()
            got = drain(modem.master)
            check(len(got) <= filled and got == b"f" * len(got),
                  f"{len(got)} bytes after {filled} of filler, ending {got[-80:]!r}")

    @case("the line moving again, the next send goes out whole")
    def _():
        w.call_ok("SendMessage", "ss", NUMBER, "Hello", timeout=60)
        got = drain(modem.master)
        check(got == b"".join(text_mode_writes(b"+491701234567", b"Hello")),
              f"the modem received {got!r}")

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
        finally:
            code, err = finish(proc, 10)
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
