#!/usr/bin/python3
"""The Linux service sending to a simulated modem that answers, on a private session bus: the
message is confirmed before AT$RESET goes out, so the modem never gives it up; refusals and a
missing verdict come back as failures; what is written and when, against the modem's answers.

The nine methods are used here: they send exactly as SendConfirmed does. A second bus, service
and modem that never gives a verdict runs alongside the others, so that its minute of waiting
overlaps them, and so do the cases of the second interface and merel-sms
(dbus_modem_answers.py), on a third.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import os
import threading
import time

from dbus_modem_answers import run_cases as run_answer_cases
from dbus_world import (World, case, check, finish, hresult_in, main, pdu_mode_writes, report,
                        text_mode_writes)

NUMBER, TEXT = "+49 170 1234567", "Hello"
PDU_NUMBER, PDU_TEXT = "4912345678", "Hi"
PDU = "0021000A91942143658700080400480069"
CONFIRM_S = 2.5
# The sim stamps a command when it reads it; a pseudo terminal and busctl add a little.
SLACK_S = 0.6


class AnsweringWorld(World):
    """A World whose modem answers as a real one, with `options` for modem-sim."""

    def __init__(self, *options):
        super().__init__()
        self.options = list(options)

    def start_sim(self):
        super().start_sim("--answer", "ok", *self.options)

    def restart(self, *options):
        """A fresh simulated modem with other options, opened by the service with Init."""
        self.stop_sim()
        self.options = list(options)
        self.start_sim()
        self.call_ok("Init")

    def kinds(self, kind):
        return [r for r in self.records() if r["type"] == kind]

    def written_since(self, start):
        """The commands received since the `start`th, without the ESC of an open."""
        return [c for c in self.commands(start) if c != b"\x1b"]


def timed_call(w, method, signature, *args, timeout=120):
    start = time.monotonic()
    proc = w.start_call(method, signature, *args, timeout=timeout)
    code, err = finish(proc, timeout + 10)
    return code, err, time.monotonic() - start


def run_cases(w):
    slow = AnsweringWorld("--never-confirm")
    others = World()
    try:
        if not w.set_up() or not slow.set_up():
            return
        run_with(w, slow, others)
    finally:
        for world in (slow, others):
            leftovers = world.server_pids()
            world.cleanup()
            report(not leftovers and not world.server_pids() and not os.path.exists(world.tmp),
                   "the second and third worlds leave nothing behind",
                   f"servers still running: {leftovers}")


def run_with(w, slow, others):
    @case("a modem that never gives its verdict: the send is under way")
    def _():
        slow.start_sim()
        slow.use_modem(slow.modem_link)
    slow_call = slow.start_call("SendTextMessage", "ssi", NUMBER, TEXT, 0, timeout=100)
    slow_start = time.monotonic()
    slow_end = {}

    # Its end is taken when it comes, while the other cases run.
    def wait_for_slow():
        slow_end["result"] = finish(slow_call, 110)
        slow_end["took"] = time.monotonic() - slow_start
    waiter = threading.Thread(target=wait_for_slow, daemon=True)
    waiter.start()

    @case("an answering modem: the service opens it")
    def _():
        w.start_sim()
        w.use_modem(w.modem_link)

    for label, method, signature, args, writes, pauses in (
            ("text mode", "SendTextMessage", "ssi", (NUMBER, TEXT, 0),
             text_mode_writes(b"+491701234567", TEXT.encode()), 3),
            ("PDU mode", "SendPDUMessage", "ss", (PDU_NUMBER, PDU_TEXT),
             pdu_mode_writes(len(PDU) // 2 - 1, PDU), 4)):
        start = len(w.commands())
        code, err, took = timed_call(w, method, signature, *args)
        # A command a second before the message, the verdict, then AT$RESET and its pause.
        floor = pauses + CONFIRM_S + 1

        @case(f"{label}: sent, and confirmed before AT$RESET, so the modem kept the SMS")
        def _():
            check(code == 0, f"{method} failed: {err.strip()}")
            check(w.written_since(start) == writes, f"wrote {w.written_since(start)}")
            check(not w.kinds("cancelled"), f"the modem gave up {w.kinds('cancelled')}")
            confirmed = [a["t_ms"] for a in w.kinds("answer") if "+CMGS:" in a["text"]]
            reset = [c["t_ms"] for c in w.kinds("command") if c["text"] == "AT$RESET"]
            check(confirmed and reset and reset[-1] > confirmed[-1],
                  f"AT$RESET at {reset} ms, the confirmation at {confirmed} ms")

        @case(f"{label}: the send takes its floor of {floor:.1f} s and little more")
        def _():
            check(floor <= took <= floor + SLACK_S, f"took {took:.2f} s")

    @case("unsolicited lines all along: the same results")
    def _():
        w.restart("--urc")
        start = len(w.commands())
        code, err, _ = timed_call(w, "SendMessage", "ss", NUMBER, TEXT)
        check(code == 0, f"SendMessage failed: {err.strip()}")
        check(w.written_since(start) == text_mode_writes(b"+491701234567", TEXT.encode()),
              f"wrote {w.written_since(start)}")
        check(not w.kinds("cancelled"), "the modem gave up the SMS")

    @case("AT+CMGS refused: 0x80041026, and neither the message nor AT$RESET is written")
    def _():
        w.restart("--refuse-cmgs", "38")
        start = len(w.commands())
        hr, message = w.call_error("SendTextMessage", "ssi", NUMBER, "ATD112;", 0)
        check(hr == 0x80041026, f"gave 0x{hr:08X}")
        check("+CMS ERROR: 38 (network out of order)" in message, message)
        wrote = w.commands(start)
        check(wrote == text_mode_writes(b"+491701234567", b"")[:3] + [b"\x1b"],
              f"wrote {wrote}")

    # The cases of the second interface and merel-sms, on their own bus.
    run_answer_cases(others)

    waiter.join(max(1, 115 - (time.monotonic() - slow_start)))
    code, err = slow_end.get("result", (None, ""))
    took = slow_end.get("took", 0)

    @case("no verdict within a minute: 0x800705B4, the SMS given up once, never sent twice")
    def _():
        check(code is not None, "the send is still running")
        check(hresult_in(err) == 0x800705B4, f"gave {err.strip()!r}")
        check("may or may not have been sent" in err, err.strip())
        check(63 <= took <= 63 + 3 * SLACK_S + 2, f"took {took:.1f} s")
        bodies = [c for c in slow.commands() if c.endswith(b"\x1a\n\r")]
        check(len(bodies) == 1, f"the message was written {len(bodies)} times")
        check(b"AT$RESET" not in slow.commands(), "AT$RESET written without a verdict")


if __name__ == "__main__":
    main(run_cases, AnsweringWorld)
