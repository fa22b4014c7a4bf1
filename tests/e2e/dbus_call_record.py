#!/usr/bin/python3
"""The record of the calls that send or change something, and the health check, on the real
service run with --system on a private bus (no journal listens here, so the record goes to the
service's standard error): one record per recorded call with its fields, the number masked and
never the text, none for the queries; `merel-sms log` reads them back; `merel-sms status
--check` gives the monitoring line and exit code for critical (no server, no settings), warning
(the port closed) and OK.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import json
import os
import subprocess

import dbus

from dbus_world import BUS_NAME, INTERFACE, OBJECT, case, check, main, stop, wait_until, skip

JOURNAL_SOCKET = "/run/systemd/journal/socket"
NUMBER = "+49 170 1234567"
MASKED = "+49 *** ****567"
TEXT = "Server room at 41 degrees"


def parse_record(line):
    """The fields of a record line "<N>message [KEY=VALUE ...]", or None."""
    if not (line.startswith("<") and line[2:3] == ">" and line.endswith("]")):
        return None
    at = line.rfind(" [MEREL_")
    if at < 0:
        return None
    fields = {"PRIORITY": line[1], "MESSAGE": line[3:at]}
    rest, i = line[at + 2:-1], 0
    while i < len(rest):
        eq = rest.index("=", i)
        key, i = rest[i:eq], eq + 1
        if rest[i:i + 1] == '"':
            value, i = "", i + 1
            while rest[i] != '"':
                if rest[i] == "\\":
                    i += 1
                value += rest[i]
                i += 1
            i += 2
        else:
            end = rest.find(" ", i)
            end = len(rest) if end < 0 else end
            value, i = rest[i:end], end + 1
        fields[key] = value
    return fields


def run_cases(w):
    if not w.programs_present():
        return
    if os.path.exists(JOURNAL_SOCKET):
        skip("the record on standard error", "a journal listens on this machine: the service "
             "writes to it instead")
        return
    w.install()
    w.start_bus()
    cli = os.path.join(os.path.dirname(os.path.dirname(w.built_server)), "..", "cli", "merel-sms")
    cli = os.path.normpath(cli)
    address = w.env["DBUS_SESSION_BUS_ADDRESS"]
    env = dict(w.env, DBUS_SYSTEM_BUS_ADDRESS=address)
    settings = os.path.join(w.tmp, "state")
    os.mkdir(settings)
    errors = os.path.join(w.tmp, "service.err")

    def merel(*args, timeout=60, stdin=None):
        return subprocess.run([cli, "--system", *args], env=env, capture_output=True, text=True,
                              timeout=timeout, stdin=stdin)

    @case("status --check: critical without a server")
    def _():
        p = subprocess.run([cli, "--system", "status", "--check"], capture_output=True, text=True,
                           timeout=30, env=dict(env, DBUS_SYSTEM_BUS_ADDRESS=(
                               f"unix:path={w.tmp}/no-bus")))
        check(p.returncode == 2, f"exit {p.returncode}: {p.stdout!r}")
        check(p.stdout.startswith("MEREL-SMS CRITICAL - no server: ") and
              p.stdout.count("\n") == 1 and "|" not in p.stdout, repr(p.stdout))

    with open(errors, "w") as err:
        service = subprocess.Popen([w.server, "--system", "--settings-dir", settings], env=env,
                                   stdout=subprocess.DEVNULL, stderr=err)
    # A client that has called holds the service until it leaves the bus.
    holder = dbus.bus.BusConnection(address)
    try:
        check(wait_until(lambda: holder.name_has_owner(BUS_NAME), 10), "the service took no name")
        holder.call_blocking(BUS_NAME, OBJECT, INTERFACE, "GetSMSManagerStatus", "", [])
        run_with_service(w, merel, errors)
    finally:
        holder.close()
        stop(service)


def run_with_service(w, merel, errors):
    @case("status --check: critical without settings")
    def _():
        p = merel("status", "--check")
        check(p.returncode == 2, f"exit {p.returncode}: {p.stdout!r} {p.stderr!r}")
        check(p.stdout.startswith("MEREL-SMS CRITICAL - no settings: 0x80070002"), repr(p.stdout))

    w.start_sim("--answer", "ok", "--confirm-delay", "0.2")
    p = merel("configure", "--port", w.modem_link, "--mode", "text")
    check(p.returncode == 0, f"configure: {p.stderr}")

    @case("status --check: OK with the port open and the modem ready, its signal as data")
    def _():
        p = merel("status", "--check")
        check(p.returncode == 0, f"exit {p.returncode}: {p.stdout!r}")
        check(p.stdout == f"MEREL-SMS OK - port {w.modem_link} open, modem ready, signal -79 dBm"
                          " | signal=-79dBm;;;\n", repr(p.stdout))

    sends = [merel("send", NUMBER, TEXT)]
    # A modem that refuses every SMS in place of the first.
    w.stop_sim()
    w.start_sim("--answer", "ok", "--confirm-delay", "0.2", "--refuse", "330")
    sends.append(merel("send", "+44 20 7946 0958", TEXT))
    check([s.returncode for s in sends] == [0, 75], [(s.returncode, s.stderr) for s in sends])
    merel("settings")  # queries only

    @case("status --check: warning when the port is closed")
    def _():
        w.stop_sim()
        check(wait_until(lambda: not os.path.lexists(w.modem_link), 5), "the modem stayed")
        p = merel("status", "--check")
        check(p.returncode == 1, f"exit {p.returncode}: {p.stdout!r}")
        check(p.stdout.startswith(f"MEREL-SMS WARNING - port {w.modem_link} closed: 0x8007"),
              repr(p.stdout))

    with open(errors) as f:
        lines = f.read().splitlines()
    records = [r for r in map(parse_record, lines) if r]

    @case("one record per call that sends or changes something, none for the queries")
    def _():
        methods = [r["MEREL_METHOD"] for r in records]
        # The check without settings: Init; configure: Init, SetSettings, Init, TestPort; each
        # send: Init, then the send; the checks with settings: CheckModem.
        want = ["Init", "Init", "SetSettings", "Init", "TestPort", "CheckModem", "Init",
                "SendConfirmed", "Init", "SendConfirmed", "CheckModem"]
        check(methods == want, f"{methods}")
        others = [line for line in lines if not parse_record(line)]
        check(not others, f"other lines on standard error: {others}")

    @case("a send's record: masked number, mode, outcome, reference, caller, never the text")
    def _():
        sent = [r for r in records if r["MEREL_METHOD"] == "SendConfirmed"]
        check(len(sent) == 2, f"{len(sent)} sends")
        first, refused = sent
        check(first["MEREL_NUMBER"] == MASKED and first["MEREL_MODE"] == "text" and
              first["MEREL_CONFIRMED"] == "1" and first["MEREL_REFERENCE"] == "0" and
              first["MEREL_HRESULT"] == "0x00000000" and first["PRIORITY"] == "6" and
              first["MEREL_PORT"] == w.modem_link, f"{first}")
        check(first["MESSAGE"].startswith(f"SendConfirmed to {MASKED} in text mode: confirmed by "
                                          "the modem, reference 0 ("), first["MESSAGE"])
        check(int(first["MEREL_DURATION_MS"]) >= 3000, first["MEREL_DURATION_MS"])
        check(first["MEREL_CALLER"].startswith(":1.") and
              first["MEREL_CALLER_UID"] == str(os.getuid()) and
              int(first["MEREL_CALLER_PID"]) > 1, f"{first}")
        check(refused["PRIORITY"] == "3" and refused["MEREL_HRESULT"] == "0x8004114A" and
              "MEREL_CONFIRMED" not in refused and refused["MEREL_NUMBER"] == "+44 ** **** *958"
              and refused["MEREL_ERROR"].startswith("0x8004114A: the modem refused the SMS to "
                                                    "+44 ** **** *958: +CMS ERROR: 330"),
              f"{refused}")
        everything = "\n".join(lines)
        check(TEXT not in everything and "1234567" not in everything and "7946" not in everything,
              "the text or a number leaked")

    @case("merel-sms log --from reads the sends back, one line each")
    def _():
        p = merel("log", "--from", errors)
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr}")
        shown = p.stdout.splitlines()
        check(len(shown) == 2, f"{shown}")
        check(f"  {MASKED}  confirmed by the modem, reference 0 (" in shown[0], shown[0])
        check("  +44 ** **** *958  0x8004114A: the modem refused " in shown[1], shown[1])
        with open(errors) as f:
            p = merel("--json", "log", "--all", "--from", "-", "--since", "2000-01-01", stdin=f)
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr}")
        calls = json.loads(p.stdout)["calls"]
        check([c["method"] for c in calls] == [r["MEREL_METHOD"] for r in records], f"{calls}")
        send = next(c for c in calls if c["number"] == MASKED)
        check(send["confirmed"] is True and send["reference"] == 0 and send["mode"] == "text" and
              send["ok"] is True and send["time"].endswith("Z"), f"{send}")

if __name__ == "__main__":
    main(run_cases)
