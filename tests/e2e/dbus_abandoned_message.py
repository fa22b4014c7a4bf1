#!/usr/bin/python3
"""A message left open on the modem after AT+CMGS, on the Linux service with modem-sim on a
private session bus: once because the line stopped (a modem holding CTS low) before the body,
once because the service was killed there. What the next client sends must go to its own
number, and nothing of it may become the first client's message.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import os
import signal
import termios
import time

from dbus_world import case, check, finish, hresult_in, main, pid_alive, wait_until

FIRST = ("+49 170 1111111", "Meeting at noon", "+491701111111")
SECOND = ("+49 170 2222222", "PIN for two: 4711", "+491702222222")
# The service's write limit at 460800 baud is 10 s plus 2 ms a byte; the margin covers starting
# busctl and slow (sanitizer) builds.
LIMIT_S = 10 + 1
MARGIN_S = 10


def opened_by_cmgs(w, number, start=0):
    """True once modem-sim has read the AT+CMGS command for `number`, from the `start`th on."""
    want = b'AT+CMGS="' + number.encode() + b'"'
    return any(want in c for c in w.commands(start))


def messages(w):
    """(type, number, text) of every message modem-sim read: sent ones and cancelled ones."""
    return [(r["type"], r["number"], r.get("text")) for r in w.records()
            if r["type"] in ("message", "cancelled")]


def send(w, who):
    return w.start_call("SendMessage", "ss", who[0], who[1])


def run_cases(w):
    if not w.set_up():
        return
    w.start_sim()
    # The test's own descriptor of the terminal side, opened before the service takes the
    # port for itself, stops and restarts the line that the service writes.
    line = os.open(os.path.realpath(w.modem_link), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        run_stopped_line(w, line)
    finally:
        termios.tcflow(line, termios.TCOON)
        os.close(line)
    for signum in (signal.SIGKILL, signal.SIGTERM):
        run_killed_service(w, signum)

    @case("the last instance ends by itself")
    def _():
        check(wait_until(lambda: not w.server_pids(), 15), f"servers {w.server_pids()}")


def run_stopped_line(w, line):
    @case("the service opens modem-sim's terminal and writes one ESC after opening it")
    def _():
        w.use_modem(w.modem_link)
        check(w.commands() == [b"\x1b"], f"the modem got {w.commands()}")

    # The line stops in the pause after AT+CMGS: the body cannot go.
    start = time.monotonic()
    first = send(w, FIRST)
    opened = wait_until(lambda: opened_by_cmgs(w, FIRST[2]), 10, step=0.02)
    termios.tcflow(line, termios.TCOOFF)
    code, err = finish(first, 2 * (LIMIT_S + 1) + MARGIN_S + 30)
    elapsed = time.monotonic() - start

    @case("stopped line: the first client's send fails with 0x8007001D after AT+CMGS")
    def _():
        check(opened, "AT+CMGS never arrived")
        check(code is not None, "SendMessage still running long after the limit")
        check(hresult_in(err) == 0x8007001D, f"SendMessage gave {err.strip()!r}")
        # The body's write and the ESC's each wait for the limit.
        check(elapsed <= 2 * LIMIT_S + 3 + MARGIN_S, f"took {elapsed:.1f} s")
        check("the message could not be cancelled" in err, f"the failure says {err.strip()!r}")

    @case("stopped line: a second client's send writes nothing and says a message is open")
    def _():
        before = len(w.commands())
        p = send(w, SECOND)
        code, err = finish(p, LIMIT_S + MARGIN_S + 30)
        check(code not in (None, 0), f"SendMessage gave {code}: {err.strip()!r}")
        check(hresult_in(err) == 0x8007001D, f"SendMessage gave {err.strip()!r}")
        check("an earlier message is still open on the modem and could not be cancelled" in err,
              f"the failure says {err.strip()!r}")
        termios.tcflow(line, termios.TCOON)
        time.sleep(0.5)
        check(w.commands(before) == [], f"the modem got {w.commands(before)}")

    @case("the line moving again, the second client's send cancels the open message first")
    def _():
        before = len(w.commands())
        w.call_ok("SendMessage", "ss", SECOND[0], SECOND[1], timeout=60)
        got = w.commands(before)
        check(got[:1] == [b"\x1b"] and len(got) == 6, f"the modem got {got}")

    @case("the modem sends the second client's text to its own number, and nothing to the first")
    def _():
        got = messages(w)
        check(got == [("cancelled", FIRST[2], None), ("message", SECOND[2], SECOND[1])],
              f"the modem read {got}")


def run_killed_service(w, signum):
    name = signal.Signals(signum).name
    done = len(messages(w))
    pid = w.owner_pid()
    start = len(w.commands())
    first = send(w, FIRST)
    opened = wait_until(lambda: opened_by_cmgs(w, FIRST[2], start), 10, step=0.02)
    if pid is not None:
        os.kill(pid, signum)
    ended = pid is not None and wait_until(lambda: not pid_alive(pid), 10)
    code, err = finish(first, 10)

    @case(f"{name} after AT+CMGS: the service ends and its client gets no success")
    def _():
        check(pid is not None, "no service")
        check(opened, "AT+CMGS never arrived")
        check(ended, "the service still runs")
        check(code not in (None, 0), f"the first client got {code}: {err.strip()!r}")

    @case(f"{name} after AT+CMGS: a new instance's send goes to its own number only")
    def _():
        before = len(w.commands())
        w.call_ok("Init")  # starts the new instance, which opens the port
        w.call_ok("SendMessage", "ss", SECOND[0], SECOND[1], timeout=60)
        got = w.commands(before)
        check(got[:1] == [b"\x1b"] and len(got) == 6, f"the modem got {got}")
        new = messages(w)[done:]
        # SIGKILL leaves the message open; on SIGTERM the service may finish the running send
        # before it ends. Either way the first message is never the second client's.
        firsts = [("cancelled", FIRST[2], None)]
        if signum == signal.SIGTERM:
            firsts.append(("message", FIRST[2], FIRST[1]))
        check(len(new) == 2 and new[0] in firsts and new[1] == ("message", SECOND[2], SECOND[1]),
              f"the modem read {new}")


if __name__ == "__main__":
    main(run_cases)
