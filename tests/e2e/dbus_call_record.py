#!/usr/bin/python3
"""The record of the calls that send or change something, and the health check, on the real
service run with --system on a private bus (no journal listens here, so the record goes to the
service's standard error): one record per recorded call with its fields, the number masked and
never the text, none for the queries; `merel-sms log` reads them back; `merel-sms status
--check` gives the monitoring line and exit code for critical (no server, no settings), warning
(the port closed) and OK. Where the test may make a mount namespace, a journald of its
own there (in a user namespace where the test is not root) gets the records with their fields
instead, and `merel-sms log` reads them through journalctl.

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
    run_with_journal(w, cli, env)


# Inside a mount and process namespace of its own: a private /run (and journal folder) with a
# journald of its own, the service, two clients, and the readers of the record. Everything in
# it ends with the namespace.
IN_NAMESPACE = r"""
set -u
[ -n "${MEREL_TRACE:-}" ] && { PS4='+ $(date +%S.%N) '; set -x; }
mount -t tmpfs tmpfs /run || exit 3
if [ -d /var/log/journal ]; then mount -t tmpfs tmpfs /var/log/journal || exit 3; fi
mkdir -p /run/systemd/journal /run/log
/lib/systemd/systemd-journald &
for i in $(seq 100); do [ -S /run/systemd/journal/socket ] && break; sleep 0.05; done
[ -S /run/systemd/journal/socket ] || exit 4
"$SERVER" --system --settings-dir "$STATE" 2>"$OUT/service.err" &
for i in $(seq 100); do "$CLI" --system status >/dev/null 2>&1 && break; sleep 0.05; done
"$CLI" --system configure --port "$PORT" --mode text >/dev/null || exit 5
"$CLI" --system send "$NUMBER" "$TEXT" >/dev/null || exit 6
# journald has the records as soon as it has read them from its socket: wait for the last.
for i in $(seq 100); do
    "$CLI" --system log --all >"$OUT/log.txt" 2>"$OUT/log.err"
    grep -qF "$MASKED" "$OUT/log.txt" && break
    sleep 0.05
done
journalctl --output=json --no-pager SYSLOG_IDENTIFIER=MerelSMSManager >"$OUT/journal.json"
"""


def run_with_journal(w, cli, env):
    name = "the real journal: the records with their fields, read back by merel-sms log"
    journald = "/lib/systemd/systemd-journald"
    if not os.access(journald, os.X_OK):
        skip(name, "systemd-journald is not installed")
        return
    # Root makes the namespaces itself; another user in a user namespace of its own.
    user = [] if os.geteuid() == 0 else ["--user", "--map-root-user"]

    @case(name)
    def _():
        out = os.path.join(w.tmp, "journal-run")
        state = os.path.join(w.tmp, "journal-state")
        os.mkdir(out)
        os.mkdir(state)
        w.start_sim("--answer", "ok", "--confirm-delay", "0.2")
        try:
            p = subprocess.run(
                ["unshare", *user, "--mount", "--pid", "--fork", "--mount-proc", "--propagation",
                 "private", "sh", "-c", IN_NAMESPACE], capture_output=True, text=True, timeout=60,
                env=dict(env, SERVER=w.server, CLI=cli, STATE=state, OUT=out, PORT=w.modem_link,
                         NUMBER=NUMBER, TEXT=TEXT, MASKED=MASKED))
        finally:
            w.stop_sim()
        if p.returncode == 3 or p.stderr.startswith("unshare: "):
            skip(name + " (as a case)", f"no private namespace here: {p.stderr.strip()}")
            return
        check(p.returncode == 0, f"exit {p.returncode}: {p.stderr.strip()}")
        if os.environ.get("MEREL_TRACE"):
            print(p.stderr)
        with open(os.path.join(out, "journal.json")) as f:
            entries = [json.loads(line) for line in f if line.strip()]
        methods = [e.get("MEREL_METHOD") for e in entries]
        check(methods == ["Init", "SetSettings", "Init", "TestPort", "Init", "SendConfirmed"],
              f"{methods}")
        sent = entries[-1]
        check(sent["MEREL_NUMBER"] == MASKED and sent["MEREL_CONFIRMED"] == "1" and
              sent["MEREL_MODE"] == "text" and sent["PRIORITY"] == "6" and
              sent["MESSAGE"].startswith(f"SendConfirmed to {MASKED} in text mode: confirmed") and
              sent["MEREL_CALLER_UID"] == str(os.getuid()), f"{sent}")
        check(entries[0]["PRIORITY"] == "3" and entries[0]["MEREL_HRESULT"] == "0x80070002",
              f"{entries[0]}")
        everything = json.dumps(entries)
        check(TEXT not in everything and "1234567" not in everything, "the text or number leaked")
        with open(os.path.join(out, "service.err")) as f:
            check("MEREL_" not in f.read(), "records went to standard error beside the journal")
        with open(os.path.join(out, "log.txt")) as f:
            shown = f.read().splitlines()
        check(len(shown) == 6 and shown[-1].endswith(")") and
              f"  {MASKED}  confirmed by the modem, reference 0 (" in shown[-1] and
              "  Init  " in shown[0], f"{shown}")


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
