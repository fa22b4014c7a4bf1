#!/usr/bin/python3
"""The README's Linux examples (docs/examples/send.py and send-busctl.sh) run as a user would run
them, against the real service on a private bus and modem-sim: on a fresh registration, again
after the service has ended idle, and with a number the service refuses.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import os
import sys

from dbus_world import case, check, main, wait_until

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__)))), "docs", "examples")


def run_cases(w):
    if not w.set_up():
        return

    def example(*args):
        return w.run([sys.executable, os.path.join(EXAMPLES, "send.py"), *args], timeout=60)

    @case("the example configures a fresh installation and sends in PDU mode")
    def _():
        p = w.run([w.server, "-RegServer"])
        check(p.returncode == 0, f"RegServer: {p.stderr.strip()}")
        w.start_sim()
        p = example("+49 170 1234567", "Grüße 😀", w.modem_link)
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")
        check(p.stdout == "sent to +49 170 1234567\n", p.stdout)

    @case("the example sends again after the service ended idle and forgot its Init")
    def _():
        check(wait_until(lambda: not w.server_pids(), 15), "the service did not end")
        p = example("+49 170 7654321", "Zweite")
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")

    @case("the busctl example stores the port and sends after the service ended idle")
    def _():
        check(wait_until(lambda: not w.server_pids(), 15), "the service did not end")
        p = w.run([os.path.join(EXAMPLES, "send-busctl.sh"), "+49 170 1112223", "Shell",
                   w.modem_link],
                  timeout=60)
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")
        check(p.stdout.strip().endswith("yyyy 1 0 1 1"), p.stdout)

    @case("the example reports a refused number with the service's message")
    def _():
        p = example("+49 170 CALL ME", "x")
        check(p.returncode == 1, f"exit {p.returncode}")
        check(p.stderr.startswith("send failed: 0x80070057: "), p.stderr)

    @case("the service ends on its own after the example's last call")
    def _():
        check(wait_until(lambda: not w.server_pids(), 15), "still running after 15 s")

    w.stop_sim()

    @case("the modem received the three messages, decoded as sent")
    def _():
        messages = [(r["mode"], r["number"], r["text"]) for r in w.records()
                    if r["type"] == "message"]
        check(messages == [("pdu", "+491701234567", "Grüße 😀"), ("pdu", "+491707654321", "Zweite"),
                           ("pdu", "+491701112223", "Shell")], f"messages {messages}")


if __name__ == "__main__":
    main(run_cases)
