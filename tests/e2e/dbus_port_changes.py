#!/usr/bin/python3
"""The modem's port changes under the running service: the modem is pulled out and put back
(modem-sim ends, which closes the pseudo terminal's other side, and a new one appears at the
same link), and the settings move to another modem, as the README's Python example does.

A send to a modem that is gone fails with 0x8007045D, the status then says the port is closed,
and once the modem is back the next Init (and merel-sms send, which makes its own) sends on it.
After SetSettings names a second modem, Init moves to it and the sends land there alone.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import json
import os
import subprocess
import sys

from dbus_world import case, check, main, stop, text_mode_writes, wait_until

IO_DEVICE = 0x8007045D
NUMBER = "+49 170 1234567"
EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__)))), "docs", "examples", "send.py")


class Modem:
    """One modem-sim at `link`, with a transcript of its own."""

    def __init__(self, w, link, name):
        self.transcript = os.path.join(w.tmp, name + ".jsonl")
        self.proc = subprocess.Popen([w.modem_sim, "--link", link, "--json", "--transcript",
                                      self.transcript, "--idle-exit", "120"],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = self.proc.stdout.readline()
        check(first.startswith("device: /dev/pts/"), f"modem-sim said {first!r}")

    def pull(self):
        """Ends the simulator: the pseudo terminal's other side closes, as when a USB modem
        is pulled out."""
        stop(self.proc)

    def records(self):
        with open(self.transcript) as f:
            return [json.loads(line) for line in f if line.strip()]

    def messages(self):
        return [(r["mode"], r["number"], r["text"]) for r in self.records()
                if r["type"] == "message"]

    def commands(self):
        return [bytes.fromhex(r["bytes_hex"]) for r in self.records() if r["type"] == "command"]


def run_cases(w):
    if not w.set_up():
        return
    modems = []
    try:
        pulled_out(w, modems)
        moved(w, modems)
    finally:
        for m in modems:
            m.pull()


def pulled_out(w, modems):
    cli = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
        w.built_server)))), "src", "cli", "merel-sms")
    first = Modem(w, w.modem_link, "first")
    modems.append(first)

    @case("Init opens the modem and a send goes out")
    def _():
        w.use_modem(w.modem_link)
        w.call_ok("SendMessage", "ss", NUMBER, "before", timeout=60)

    @case("with the modem pulled out a send fails with 0x8007045D and the port is closed")
    def _():
        first.pull()
        hr, message = w.call_error("SendMessage", "ss", NUMBER, "lost")
        check(hr == IO_DEVICE, f"0x{hr:08X}: {message}")
        check(message == f"0x8007045D: cannot write to port {w.modem_link}: I/O device error; "
              "the device is gone, so the port is closed: call Init or TestPort", message)
        check(w.status() == [1, 0, 0, 0], f"status {w.status()}")
        hr, message = w.call_error("SendMessage", "ss", NUMBER, "lost")
        check(hr == 0x80070006 and "was closed when its device went away" in message, message)

    second = Modem(w, w.modem_link, "second")
    modems.append(second)

    @case("put back at the same path, the next Init opens it and the send goes out")
    def _():
        w.call_ok("Init")
        check(w.status() == [1, 0, 1, 1], f"status {w.status()}")
        w.call_ok("SendMessage", "ss", NUMBER, "back", timeout=60)
        check(second.messages() == [("text", "+491701234567", "back")], second.messages())

    third = None

    @case("pulled out again, merel-sms send opens the port by itself once it is back")
    def _():
        second.pull()
        w.busctl("SendMessage", "ss", NUMBER, "lost")
        check(w.status()[2:] == [0, 0], f"status {w.status()}")
        nonlocal third
        third = Modem(w, w.modem_link, "third")
        modems.append(third)
        p = w.run([cli, "send", NUMBER, "by the CLI"], timeout=60)
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")
        check(third is not None and third.messages() == [("text", "+491701234567", "by the CLI")],
              "the third modem got something else")

    @case("pulled out and put back with no call between, the next merel-sms send sends")
    def _():
        check(third is not None, "the third modem never started")
        third.pull()
        fourth = Modem(w, w.modem_link, "fourth")
        modems.append(fourth)
        p = w.run([cli, "send", NUMBER, "after the swap"], timeout=60)
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")
        check(fourth.messages() == [("text", "+491701234567", "after the swap")],
              fourth.messages())

    @case("the pulled modems got what was sent before they went, and nothing after")
    def _():
        check(first.messages() == [("text", "+491701234567", "before")], first.messages())
        check(second.messages() == [("text", "+491701234567", "back")], second.messages())
        check(third is not None and third.messages() == [("text", "+491701234567", "by the CLI")],
              "the third modem got something else")


def moved(w, modems):
    link_a, link_b = os.path.join(w.tmp, "modem-a"), os.path.join(w.tmp, "modem-b")
    a, b = Modem(w, link_a, "a"), Modem(w, link_b, "b")
    modems += [a, b]

    def example(*args):
        return w.run([sys.executable, EXAMPLE, *args], timeout=60)

    @case("the README's Python example sends on the modem it names")
    def _():
        p = example(NUMBER, "on A", link_a)
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")

    @case("named a second modem while the first is open, the example sends on the second")
    def _():
        # Still within the service's idle time: the first modem is open when the example runs.
        check(w.status()[2] == 1, f"status {w.status()}")
        p = example(NUMBER, "on B", link_b)
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")
        check(w.settings()[0] == link_b, f"settings {w.settings()}")

    @case("the same name again keeps the open port and sends on it")
    def _():
        w.call_ok("Init")
        w.call_ok("SendTextMessage", "ssi", NUMBER, "B again", 0, timeout=60)

    @case("each modem got its own messages, the first nothing after the move")
    def _():
        check(a.messages() == [("pdu", "+491701234567", "on A")], a.messages())
        check(b.messages() == [("pdu", "+491701234567", "on B"),
                               ("text", "+491701234567", "B again")], b.messages())
        check(b.commands()[-5:] == text_mode_writes(b"+491701234567", b"B again"),
              b.commands()[-5:])

    @case("the service ends on its own after the last call")
    def _():
        check(wait_until(lambda: not w.server_pids(), 15), "still running after 15 s")


if __name__ == "__main__":
    main(run_cases)
