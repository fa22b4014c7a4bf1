#!/usr/bin/python3
"""One service per modem on a private session bus: instances a and b registered with
-RegServer --instance, each configured by merel-sms --modem to a modem-sim of its own, keep
their settings apart; two sends, one to each, started together finish in about one send's
time, and each modem gets only its own SMS; merel-sms modems lists both with their ports;
invalid names are refused; -UnregServer --instance removes that instance's file alone.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import json
import os
import signal
import subprocess
import time

from dbus_world import (BUS_NAME, case, check, finish, main, stop, text_mode_writes, wait_until)

NUMBER = "+491701234567"
RULE = "1 to 64 letters (A-Z, a-z), digits or '_', not starting with a digit"
# Two sends side by side may take this much longer than one alone; one after the other would
# take twice as long.
SIDE_BY_SIDE_FACTOR = 1.6


def run_cases(w):
    if not w.set_up():
        return
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(w.built_server))))
    cli = os.path.join(build, "src", "cli", "merel-sms")
    services = os.path.dirname(w.service_file)
    sims = {}  # instance: (process, link, transcript)

    def merel_sms(*args, timeout=60):
        return w.run([cli, "--timeout", "30", *args], timeout)

    def commands(name):
        transcript = sims[name][2]
        if not os.path.exists(transcript):
            return []
        with open(transcript) as f:
            return [bytes.fromhex(r["bytes_hex"]) for r in map(json.loads, filter(str.strip, f))
                    if r["type"] == "command"]

    try:
        for name in ("a", "b"):
            sims[name] = w.start_named_sim(name)
            if sims[name] is None:
                return

        @case("-RegServer --instance writes each instance's own activation file")
        def _():
            for name in ("a", "b"):
                p = w.run([w.server, "-RegServer", "--instance", name])
                check(p.returncode == 0, f"RegServer {name}: {p.stderr.strip()}")
            files = sorted(os.listdir(services))
            check(files == [f"{BUS_NAME}.a.service", f"{BUS_NAME}.b.service"], f"{files}")
            with open(os.path.join(services, f"{BUS_NAME}.b.service")) as f:
                text = f.read()
            check(text == f"[D-BUS Service]\nName={BUS_NAME}.b\nExec={w.server} --instance b\n",
                  text)
            check(os.path.exists(w.interface_file), "no interface file")

        @case("merel-sms --modem configures each instance; its settings go to its own folder")
        def _():
            for name in ("a", "b"):
                p = merel_sms("--modem", name, "configure", "--port", sims[name][1], "--mode",
                              "text")
                check(p.returncode == 0, f"configure {name}: exit {p.returncode}: {p.stderr}")
            for name in ("a", "b"):
                with open(os.path.join(w.bin, name, "SMSMgr.ini"), "rb") as f:
                    got = f.read()
                check(got.startswith(b"Port:" + sims[name][1].encode() + b"\r\n"),
                      f"{name}'s SMSMgr.ini: {got[:80]!r}")
            check(not os.path.exists(w.ini), "the plain service's SMSMgr.ini was written")

        @case("sends to a and b started together finish in about one send's time, each on its "
              "own modem")
        def _():
            start = time.monotonic()
            p = merel_sms("--modem", "a", "send", NUMBER, "alone")
            alone = time.monotonic() - start
            check(p.returncode == 0, f"send to a: exit {p.returncode}: {p.stderr.strip()}")
            start = time.monotonic()
            clients = [subprocess.Popen([cli, "--timeout", "30", "--modem", name, "send",
                                         NUMBER, f"to {name}"], env=w.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        text=True) for name in ("a", "b")]
            results = [finish(c, 60) for c in clients]
            both = time.monotonic() - start
            print(f"# one send {alone:.2f} s, two side by side {both:.2f} s", flush=True)
            for name, (code, err) in zip(("a", "b"), results):
                check(code == 0, f"send to {name}: exit {code}: {err.strip()}")
            check(both < SIDE_BY_SIDE_FACTOR * alone,
                  f"two sends took {both:.2f} s, one alone {alone:.2f} s")
            want_a = (text_mode_writes(NUMBER.encode(), b"alone") +
                      text_mode_writes(NUMBER.encode(), b"to a"))
            sent = [c for c in commands("a") if c.startswith(b"AT+CSCS")]
            check(commands("a")[-len(want_a):] == want_a and len(sent) == 2,
                  f"modem a got {commands('a')}")
            want_b = text_mode_writes(NUMBER.encode(), b"to b")
            sent = [c for c in commands("b") if c.startswith(b"AT+CSCS")]
            check(commands("b")[-len(want_b):] == want_b and len(sent) == 1,
                  f"modem b got {commands('b')}")

        @case("merel-sms modems lists both instances with their ports, also as JSON")
        def _():
            p = merel_sms("modems")
            check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")
            lines = p.stdout.splitlines()
            check(len(lines) == 2 and lines[0].split()[:2] == ["a", sims["a"][1]] and
                  lines[1].split()[:2] == ["b", sims["b"][1]] and
                  all(line.endswith("port open and configured") for line in lines),
                  p.stdout)
            p = merel_sms("--json", "modems")
            got = json.loads(p.stdout)
            check(p.returncode == 0 and got["ok"], p.stdout)
            check([(m["modem"], m["bus_name"], m["port"]) for m in got["modems"]] ==
                  [("a", f"{BUS_NAME}.a", sims["a"][1]), ("b", f"{BUS_NAME}.b", sims["b"][1])],
                  p.stdout)

        @case("invalid names are refused with the rule, exit 64, by the client and the service")
        def _():
            p = merel_sms("--modem", "modem-1", "status")
            check(p.returncode == 64 and f"invalid modem name 'modem-1': a modem's name is {RULE}"
                  in p.stderr, f"merel-sms: exit {p.returncode}: {p.stderr.strip()}")
            p = w.run([w.server, "--instance", "../etc"])
            check(p.returncode == 64 and p.stderr ==
                  f"MerelSMSManager: invalid instance name '../etc': an instance name is {RULE}\n",
                  f"MerelSMSManager: exit {p.returncode}: {p.stderr.strip()}")
            check(sorted(os.listdir(services)) ==
                  [f"{BUS_NAME}.a.service", f"{BUS_NAME}.b.service"], "files changed")

        @case("-UnregServer --instance removes that instance's file alone")
        def _():
            p = w.run([w.server, "-UnregServer", "--instance", "a"])
            check(p.returncode == 0, f"UnregServer: {p.stderr.strip()}")
            files = sorted(os.listdir(services))
            check(files == [f"{BUS_NAME}.b.service"], f"{files}")
            check(os.path.exists(w.interface_file), "the shared interface file went too")
    finally:
        # The instances would end 5 s after their last client; they are stopped as systemd
        # stops a service, and must go within the stop's grace time.
        for pid in w.server_pids():
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        stopped = wait_until(lambda: not w.server_pids(), 10)
        for sim in filter(None, sims.values()):
            stop(sim[0])
        case("the instances end on SIGTERM")(lambda: check(stopped, f"{w.server_pids()} run on"))


if __name__ == "__main__":
    main(run_cases)
