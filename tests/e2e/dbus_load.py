#!/usr/bin/python3
"""The Linux service under load, with clients that give up, and at its hand-over to the next
instance, on a private session bus with modem-sim.

- Twelve clients send one SMS each at the same moment, with long call time-outs: every one is
  answered S_OK, the twelve messages reach the modem whole, one after the other, in the order
  the bus delivered the calls, and the service answers Peer.Ping and Introspect meanwhile,
  without ever losing its name or being replaced.
- Clients that queue sends behind a running send and then leave the bus: their messages never
  reach the modem, while a client that stays gets its answer.
- A call made right after the idle service released its name starts a new instance whose Init
  opens the same port: the ending one has closed it already.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import contextlib
import json
import os
import signal
import subprocess
import threading
import time

from dbus_world import (BUS_NAME, INTERFACE, OBJECT, case, check, main, pid_alive, report,
                        text_mode_writes, wait_until)

CLIENTS = 12
# A text-mode send takes about five seconds; sanitizer builds are slower. Clients wait long.
CALL_TIMEOUT_S = 300
# Answers that the bus thread gives itself must come at once, even while a send runs.
PROMPT_S = 1.0


def number_of(i):
    return f"+491700000{i:03d}"


def start_send(w, text, number):
    """A client process sending one SMS; it waits long for its answer."""
    return subprocess.Popen(["busctl", "--user", f"--timeout={CALL_TIMEOUT_S}", "call", BUS_NAME,
                             OBJECT, INTERFACE, "SendTextMessage", "ssi", number, text, "0"],
                            env=w.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def stop_clients(clients):
    for c in clients:
        if c is not None and c.poll() is None:
            c.kill()
            c.wait(timeout=5)


@contextlib.contextmanager
def sending(w):
    """The running service's pid, a BusWatch and a list for the client processes of one case,
    which are ended with it."""
    pid = w.owner_pid()
    check(pid is not None, "service not running")
    watch = BusWatch(w)
    clients = []
    try:
        yield pid, watch, clients
    finally:
        stop_clients(clients)
        watch.stop()


class BusWatch:
    """dbus-monitor for the calls of our interface and the owner changes of our name, read as
    it comes, so that the order in which the bus delivered the calls can be compared with
    what reached the modem."""

    def __init__(self, w):
        self.w = w
        self.lines = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(
            ["dbus-monitor", "--session",
             f"type='method_call',interface='{INTERFACE}'",
             f"type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
             f"arg0='{BUS_NAME}'"],
            env=w.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        # Once a call of ours shows up, the monitor sees everything after it.
        check(wait_until(lambda: self._probe_seen(), 10, step=0.2), "dbus-monitor saw nothing")

    def _probe_seen(self):
        self.w.status()
        return any("member=GetSMSManagerStatus" in line for line in self.snapshot())

    def _read(self):
        for line in self.proc.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def snapshot(self):
        with self.lock:
            return list(self.lines)

    def sent_texts(self):
        """The texts of the SendTextMessage calls, in the order the bus delivered them."""
        texts, in_send, strings = [], False, 0
        for line in self.snapshot():
            if line.startswith("method call "):
                in_send = line.endswith("member=SendTextMessage")
                strings = 0
            elif in_send and line.strip().startswith('string "'):
                strings += 1
                if strings == 2:
                    texts.append(line.strip()[len('string "'):-1])
        return texts

    def owner_changes(self):
        return sum(1 for line in self.snapshot() if "member=NameOwnerChanged" in line)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=5)


def transcript(w):
    with open(w.transcript) as f:
        return [json.loads(line) for line in f if line.strip()]


def commands_since(w, start):
    records = [r for r in transcript(w) if r["type"] == "command"]
    return [bytes.fromhex(c["bytes_hex"]) for c in records[start:]]


def command_count(w):
    return sum(1 for r in transcript(w) if r["type"] == "command")


def split_sends(commands):
    """The commands as whole text-mode sends: [(number, text)], or None when they do not form
    whole sends one after the other."""
    sends = []
    for k in range(0, len(commands), 5):
        group = commands[k:k + 5]
        if len(group) != 5 or not group[2].startswith(b'AT+CMGS="'):
            return None
        number = group[2][len(b'AT+CMGS="'):-len(b'"\n\r')]
        text = group[3][:-3]
        if group != text_mode_writes(number, text):
            return None
        sends.append((number.decode(), text.decode()))
    return sends


def timed(fn):
    start = time.monotonic()
    fn()
    return time.monotonic() - start


def run_cases(w):
    if not w.set_up():
        return
    import dbus

    p = w.run([w.server, "-RegServer"])
    if p.returncode != 0:
        report(False, "RegServer", p.stderr.strip())
        return
    w.start_sim()

    # A client that stays connected keeps the one instance, and with it the open port.
    holder = dbus.bus.BusConnection(w.env["DBUS_SESSION_BUS_ADDRESS"])

    def ask(interface, method):
        try:
            holder.call_blocking(BUS_NAME, OBJECT, interface, method, "", (), timeout=30)
        except dbus.exceptions.DBusException as e:
            check(False, f"{method}: {e.get_dbus_name()}: {e.get_dbus_message()}")

    def ping():
        ask("org.freedesktop.DBus.Peer", "Ping")

    def introspect():
        ask("org.freedesktop.DBus.Introspectable", "Introspect")

    @case("the service takes the modem-sim port (Init after SetSettings)")
    def _():
        try:
            invoke(holder, "Init")
        except dbus.exceptions.DBusException:
            pass  # no SMSMgr.ini yet; Init has fixed its path
        invoke(holder, "SetSettings", "sinnnnnn", w.modem_link, 460800, 8, 0, 0, 1, 0, 0)
        take_port(holder)

    # Each case starts from a serving instance with the port open, even when an earlier case
    # left none: Init on the instance that has it already keeps the open port.
    take_port(holder, "an instance that has the port before the load")
    twelve_clients(w, ping, introspect)
    take_port(holder, "an instance that has the port before clients leave")
    clients_who_leave(w, ping)

    take_port(holder, "an instance that has the port before it idles")
    holder.close()
    successor = hand_over(w, dbus)
    take_port(successor, "an instance that has the port before the stop signal")
    stop_signal_during_send(w)
    successor.close()

    @case("every instance has ended")
    def _():
        check(wait_until(lambda: not w.server_pids(), 15), f"still running: {w.server_pids()}")


def invoke(connection, method, signature="", *args):
    """A call of our interface addressed to the bus name, whichever instance owns it now."""
    return connection.call_blocking(BUS_NAME, OBJECT, INTERFACE, method, signature, args,
                                    timeout=CALL_TIMEOUT_S)


def take_port(connection, name=None):
    """Init on the service; as a case of its own when named."""
    def run():
        invoke(connection, "Init")
        check([int(v) for v in invoke(connection, "GetSMSManagerStatus")] == [1, 0, 1, 1],
              "status")
    if name is None:
        run()
    else:
        case(name)(run)


def twelve_clients(w, ping, introspect):
    @case(f"{CLIENTS} clients sending at once: all S_OK, whole messages in arrival order, "
          "the service answering and alive throughout")
    def _():
        with sending(w) as (pid, watch, clients):
            first = command_count(w)
            texts = [f"load {i:02d}" for i in range(1, CLIENTS + 1)]
            clients += [start_send(w, text, number_of(i)) for i, text in enumerate(texts, 1)]
            # Answers of the bus thread while the worker sends: measured until the last send.
            waits = []
            while any(c.poll() is None for c in clients) and len(waits) < 40:
                waits.append(max(timed(ping), timed(introspect)))
                check(w.owner_pid() == pid, "another process owns the name")
                time.sleep(0.5)
            errors = [c.communicate(timeout=CALL_TIMEOUT_S)[1].strip() for c in clients]
            failed = [(c.args[-2], c.returncode, e) for c, e in zip(clients, errors)
                      if c.returncode != 0]
            check(not failed, f"clients failed: {failed}")
            check(waits and max(waits) < PROMPT_S,
                  f"Ping/Introspect took up to {max(waits or [0]):.2f} s")
            check(pid_alive(pid) and w.owner_pid() == pid, "the service was replaced")
            check(watch.owner_changes() == 0, "the bus name changed hands")
            arrival = watch.sent_texts()
            check(sorted(arrival) == texts, f"the bus delivered {arrival}")
            sends = split_sends(commands_since(w, first))
            check(sends is not None, "the modem got commands that are not whole sends in a row")
            expected = [(number_of(int(t.split()[1])), t) for t in arrival]
            check(sends == expected, f"modem got {sends}, bus order {arrival}")


def clients_who_leave(w, ping):
    import dbus

    @case("clients that queue sends and leave: their sends never reach the modem; "
          "a client that stays gets its answer")
    def _():
        first = command_count(w)
        address = w.env["DBUS_SESSION_BUS_ADDRESS"]
        running = start_send(w, "stays 1", number_of(101))
        stayer = None
        try:
            check(wait_until(lambda: command_count(w) > first, 15), "the first send did not start")
            for k in range(3):
                leaver = dbus.bus.BusConnection(address)
                for n in range(2):
                    call = dbus.lowlevel.MethodCallMessage(BUS_NAME, OBJECT, INTERFACE,
                                                           "SendTextMessage")
                    call.append(number_of(200 + 2 * k + n), f"gone {k}.{n}", dbus.Int32(0),
                                signature="ssi")
                    leaver.send_message(call)
                leaver.flush()
                leaver.close()  # gives up without waiting for the answers
            stayer = start_send(w, "stays 2", number_of(102))
            for c in (running, stayer):
                error = c.communicate(timeout=CALL_TIMEOUT_S)[1].strip()
                check(c.returncode == 0, f"{c.args[-2]}: {error}")
            ping()
            sends = split_sends(commands_since(w, first))
            check(sends == [(number_of(101), "stays 1"), (number_of(102), "stays 2")],
                  f"the modem got {sends}")
        finally:
            stop_clients([running, stayer])


def hand_over(w, dbus):
    """Returns the connection of the client that called the new instance; it holds it."""
    watcher = dbus.bus.BusConnection(w.env["DBUS_SESSION_BUS_ADDRESS"])

    @case("a call right after the idle service released its name: the new instance's Init "
          "opens the same port")
    def _():
        old = w.owner_pid()
        check(old is not None, "service not running")
        # The last client has gone: the name goes after the idle time.
        check(wait_until(lambda: not watcher.name_has_owner(BUS_NAME), 15, step=0.005),
              "the name was not released")
        old_still_running = pid_alive(old)
        try:
            invoke(watcher, "Init")
            result = "S_OK"
        except dbus.exceptions.DBusException as e:
            result = e.get_dbus_message()
        new = w.owner_pid()
        check(result == "S_OK", f"Init of the new instance: {result}")
        check(new is not None and new != old, "no new instance")
        check([int(v) for v in invoke(watcher, "GetSMSManagerStatus")] == [1, 0, 1, 1],
              "status")
        check(old_still_running, "the old instance had ended before the call: "
              "the hand-over was not tried")

    return watcher


def stop_signal_during_send(w):
    @case("SIGTERM during a send ends the service within seconds; a queued call is told "
          "0x80004018 and never sent")
    def _():
        with sending(w) as (pid, watch, clients):
            first = command_count(w)
            clients.append(start_send(w, "cut short", number_of(301)))
            check(wait_until(lambda: command_count(w) > first, 15), "the send did not start")
            clients.append(start_send(w, "never sent", number_of(302)))
            check(wait_until(lambda: "never sent" in watch.sent_texts(), 15),
                  "the second call did not reach the service")
            signalled = time.monotonic()
            os.kill(pid, signal.SIGTERM)
            check(wait_until(lambda: not pid_alive(pid), 15), "still running 15 s after SIGTERM")
            took = time.monotonic() - signalled
            # The running call gets 2 s to finish, an orderly end pauses 1 s.
            check(took < 5.0, f"ended {took:.2f} s after SIGTERM")
            error = clients[1].communicate(timeout=30)[1]
            check(clients[1].returncode != 0 and "0x80004018" in error,
                  f"the queued call got: {error.strip()}")
            clients[0].communicate(timeout=30)
            check(b"never sent" not in b"".join(commands_since(w, first)),
                  "the queued send reached the modem")


if __name__ == "__main__":
    main(run_cases)
