#!/usr/bin/python3
"""The second interface on the Linux service, and merel-sms reading what the modem said, against
modem-sim on a private session bus: introspection shows MerelSMSManagerLib.ISMSMgr2; a silent
modem (SendConfirmed gives -1, merel-sms says "not confirmed", --confirmed exits 75, check says
that nothing answers); an answering one (references 0 then 1, no SMS cancelled, check ready);
a refused SMS (+CMS ERROR: 330); a modem without "PCCP437" (the warning); a SIM that wants its
PIN (check names it); the report signal of a send reaches its caller alone, before the reply.

dbus_modem_verdict.py runs these cases beside its own, so that their time overlaps its minute
of waiting for a verdict that never comes; this file runs them alone.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import json
import os
import subprocess
import xml.etree.ElementTree as ET

from dbus_world import BUS_NAME, OBJECT, case, check, hresult_in, main, stop, wait_until

INTERFACE2 = "MerelSMSManagerLib.ISMSMgr2"
NUMBER = "+49 170 1234567"


class ModemAnswers:
    """The world of one test: the service registered with its port on modem-sim's link, and a
    simulator started afresh, with its own options and transcript, for each kind of modem."""

    def __init__(self, w):
        self.w = w
        build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
            w.built_server))))
        self.cli_exe = os.path.join(build, "src", "cli", "merel-sms")
        self.runs = 0

    def modem(self, *options):
        """Starts modem-sim with `options` on the link; the service reopens its port."""
        stop(self.w.sim)
        self.runs += 1
        self.transcript = os.path.join(self.w.tmp, f"modem-{self.runs}.jsonl")
        self.w.sim = subprocess.Popen(
            [self.w.modem_sim, "--link", self.w.modem_link, "--json", "--transcript",
             self.transcript, "--idle-exit", "300", *options],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = self.w.sim.stdout.readline()
        check(first.startswith("device: /dev/pts/"), f"modem-sim said {first!r}")
        self.pty = first.split(": ", 1)[1].strip()

    def records(self):
        with open(self.transcript) as f:
            return [json.loads(line) for line in f if line.strip()]

    def call2(self, method, signature=None, *args, timeout=90):
        cmd = ["busctl", "--user", "--json=short", f"--timeout={timeout}", "call", BUS_NAME,
               OBJECT, INTERFACE2, method]
        if signature is not None:
            cmd += [signature, *[str(a) for a in args]]
        return self.w.run(cmd, timeout + 10)

    def send_confirmed(self, text="Hi", mode=0):
        """The reference SendConfirmed returns."""
        p = self.call2("SendConfirmed", "ssn", NUMBER, text, mode)
        check(p.returncode == 0, f"SendConfirmed failed: {p.stderr.strip()}")
        reply = json.loads(p.stdout)
        check(reply["type"] == "i", reply)
        return reply["data"][0]

    def cli(self, *args, code=0, timeout=120):
        p = self.w.run([self.cli_exe, *args], timeout)
        check(p.returncode == code,
              f"merel-sms {' '.join(args)}: exit {p.returncode}, want {code}: {p.stderr.strip()}")
        return p

    def reopen(self):
        """The port on the new simulator: TestPort closes and reopens it."""
        self.w.call_ok("TestPort")


def signal_and_reply(w):
    """A SendConfirmed from one connection while another listens for SendReport: what the
    caller got, in order, and what the bystander got."""
    import dbus
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    loop = GLib.MainLoop()
    address = w.env["DBUS_SESSION_BUS_ADDRESS"]
    caller = dbus.bus.BusConnection(address, mainloop=DBusGMainLoop())
    other = dbus.bus.BusConnection(address, mainloop=DBusGMainLoop())
    events, bystander = [], []
    try:
        caller.add_signal_receiver(lambda warnings, transcript: events.append(
            ("signal", [str(x) for x in warnings])), signal_name="SendReport",
            dbus_interface=INTERFACE2)
        other.add_signal_receiver(lambda *args: bystander.append(args),
                                  signal_name="SendReport", dbus_interface=INTERFACE2)

        def done(*result):
            events.append(("reply", result))
            GLib.timeout_add(1000, loop.quit)  # time enough for a broadcast to arrive too

        caller.get_object(BUS_NAME, OBJECT).SendConfirmed(
            NUMBER, "Hi", dbus.Int16(0), dbus_interface=INTERFACE2, reply_handler=done,
            error_handler=done, timeout=90)
        GLib.timeout_add(100 * 1000, loop.quit)
        loop.run()
    finally:
        caller.close()
        other.close()
    return events, bystander


def run_cases(w):
    if not w.set_up():
        return
    m = ModemAnswers(w)
    m.modem()  # silent, as the service's first modem

    @case("RegServer writes the second interface's file; introspection shows ISMSMgr2")
    def _():
        w.use_modem(w.modem_link)
        path = os.path.join(w.data, "dbus-1", "interfaces", INTERFACE2 + ".xml")
        names = [i.get("name") for i in ET.parse(path).getroot().findall("interface")]
        check(names == [INTERFACE2], names)
        p = w.run(["busctl", "--user", "introspect", BUS_NAME, OBJECT, INTERFACE2])
        check(p.returncode == 0, p.stderr.strip())
        rows = {}
        for line in p.stdout.splitlines():
            cols = line.split()
            if len(cols) >= 4 and cols[0].startswith("."):
                rows[cols[0][1:]] = (cols[1], cols[2], cols[3])
        check(rows == {"SendConfirmed": ("method", "ssn", "i"),
                       "CheckModem": ("method", "-", "uas"),
                       "SendReport": ("signal", "ass", "-")}, f"got {rows}")
        p = w.run(["gdbus", "introspect", "--session", "--dest", BUS_NAME, "--object-path",
                   OBJECT, "--xml"])
        check(p.returncode == 0, p.stderr.strip())
        ids = {}
        for iface in ET.fromstring(p.stdout).findall("interface"):
            for method in iface.findall("method"):
                ann = {a.get("name"): a.get("value") for a in method.findall("annotation")}
                ids[(iface.get("name"), method.get("name"))] = ann.get(
                    "MerelSMSManagerLib.DispId")
        check(ids.get((INTERFACE2, "SendConfirmed")) == "11" and
              ids.get((INTERFACE2, "CheckModem")) == "12", f"got {ids}")
        check(ids.get(("MerelSMSManagerLib.ISMSMgr", "Init")) == "10" and
              (INTERFACE2, "Init") not in ids, "the nine belong to ISMSMgr alone")

    @case("silent modem: SendConfirmed gives -1; merel-sms says not confirmed (exit 0)")
    def _():
        check(m.send_confirmed() == -1, "reference")
        p = m.cli("send", "--mode", "text", NUMBER, "Hi")
        check(p.stdout.startswith(f"sent in text mode to {NUMBER} (") and
              p.stdout.endswith("): not confirmed: the modem did not answer (is the port the "
                                "modem's AT port? try: merel-sms check)\n"), p.stdout)

    @case("silent modem: check says that nothing answers on the port, naming the causes "
          "(exit 75)")
    def _():
        p = m.cli("check", code=75)
        check(p.stdout == "", p.stdout)
        check(p.stderr.startswith(f"merel-sms: Nothing answers on {w.modem_link}\nhint: ") and
              "ModemManager" in p.stderr, p.stderr)

    @case("answering modem: references 0 then 1, and no SMS cancelled by an early byte")
    def _():
        m.modem("--answer", "ok", "--confirm-delay", "1")
        m.reopen()
        check([m.send_confirmed(), m.send_confirmed("again", 1)] == [0, 1], "references")
        cancelled = [r for r in m.records() if r.get("type") == "cancelled"]
        check(cancelled == [], f"cancelled: {cancelled}")

    @case("answering modem: merel-sms says confirmed with the reference; --json carries it")
    def _():
        p = m.cli("send", "--confirmed", NUMBER, "Hi")
        check(p.stdout.endswith("): confirmed by the modem, reference 2\n"), p.stdout)
        reply = json.loads(m.cli("--json", "-v", "send", "--mode", "pdu", NUMBER, "Hi").stdout)
        check(reply["confirmed"] is True and reply["reference"] == 3 and
              reply["warnings"] == [] and "+CMGS: 3" in reply["transcript"], reply)

    @case("answering modem: check says ready to send (exit 0)")
    def _():
        p = m.cli("check")
        check(p.stdout == "manufacturer: Merel Simulated\nmodel: GSM Modem\nrevision: 1.0\n"
              "SIM: ready\nsignal: -79 dBm (3 of 5 bars)\nnetwork: registered, home network, "
              "operator Sim Net\ncharacter set PCCP437: offered: text mode works\n"
              "ready to send\n", p.stdout)

    @case("refused SMS: 0x8004114A with the meaning; merel-sms exits 75 with the SMSC hint")
    def _():
        m.modem("--answer", "ok", "--confirm-delay", "0.5", "--refuse", "330")
        m.reopen()
        p = m.call2("SendConfirmed", "ssn", NUMBER, "Hi", 0)
        check(p.returncode != 0 and hresult_in(p.stderr) == 0x8004114A and
              "+CMS ERROR: 330 (SMSC address unknown)" in p.stderr, p.stderr.strip())
        p = m.cli("send", NUMBER, "Hi", code=75)
        check(p.stderr.startswith("merel-sms: 0x8004114A: ") and "AT+CSCA=" in p.stderr,
              p.stderr)

    @case("no PCCP437: merel-sms prints the warning line")
    def _():
        m.modem("--answer", "ok", "--confirm-delay", "0.5", "--no-pccp437")
        m.reopen()
        p = m.cli("send", "--mode", "text", NUMBER, "Hi")
        check("warning: the modem does not take character set PCCP437: the text may arrive "
              "garbled; use PDU mode\n" in p.stderr, p.stderr)
        check("confirmed by the modem" in p.stdout, p.stdout)
        p = m.cli("check")
        check("character set PCCP437: not offered" in p.stdout and
              p.stdout.endswith("ready to send in PDU mode; the stored text mode would garble "
                                "the text: merel-sms configure --mode pdu\n"), p.stdout)

    @case("the report signal reaches the caller alone, before the reply, with the warning")
    def _():
        events, bystander = signal_and_reply(w)
        check([e[0] for e in events] == ["signal", "reply"], f"events {events}")
        warnings = events[0][1]
        check(len(warnings) == 1 and "PCCP437" in warnings[0], f"warnings {warnings}")
        check(bystander == [], f"another client got it: {bystander}")

    @case("SIM wants its PIN: check names it (exit 75); a send is refused with the PIN hint")
    def _():
        m.modem("--answer", "ok", "--confirm-delay", "0.5", "--sim-pin")
        m.reopen()
        p = m.cli("check", code=75)
        check("SIM: SIM PIN\n" in p.stdout, p.stdout)
        check(p.stderr.startswith("merel-sms: not ready to send: the SIM is locked: it wants "
                                  "its PIN (SIM PIN)\nhint: ") and "AT+CPIN=<pin>" in p.stderr,
              p.stderr)
        p = m.cli("send", NUMBER, "Hi", code=75)
        check("0x80041137" in p.stderr and "AT+CPIN=<pin>" in p.stderr, p.stderr)

    wait_until(lambda: not w.server_pids(), 15)  # the service ends idle


if __name__ == "__main__":
    main(run_cases)
