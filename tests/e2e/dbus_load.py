#!/usr/bin/python3
"""The Linux service under load, with clients that give up, at its hand-over to the next
instance and at a stop during a send, on a private session bus with modem-sim.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import contextlib
import os
import signal
import subprocess
import threading
import time

from dbus_world import (BUS_NAME, INTERFACE, OBJECT, case, check, end_all, finish, main,
                        pid_alive, text_mode_writes, wait_until)

CLIENTS = 12
# A text-mode send takes about five seconds and sanitizer builds are slower: clients wait long.
CALL_TIMEOUT_S = 300
# What the bus thread answers itself must come at once, even while a send runs.
PROMPT_S = 1.0


def number_of(i):
    return f"+491700000{i:03d}"


def start_send(w, text, number):
    return w.start_call("SendTextMessage", "ssi", number, text, 0, timeout=CALL_TIMEOUT_S)


def writes_of(sends):
    return [c for number, text in sends for c in text_mode_writes(number.encode(), text.encode())]


class BusWatch:
    """dbus-monitor of our interface's calls and our name's owner changes: the order in which
    the bus delivered the calls, to compare with what reached the modem."""

    def __init__(self, w):
        self.lines = []
        self.proc = subprocess.Popen(
            ["dbus-monitor", "--session", f"type='method_call',interface='{INTERFACE}'",
             f"type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
             f"arg0='{BUS_NAME}'"],
            env=w.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self._read, daemon=True).start()

        # Once a call of ours shows up, the monitor sees everything after it.
        def probe_seen():
            w.status()
            return any("member=GetSMSManagerStatus" in line for line in list(self.lines))
        check(wait_until(probe_seen, 10, step=0.2), "dbus-monitor saw nothing")

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line)

    def sent_texts(self):
        """The texts of the SendTextMessage calls, in the order the bus delivered them."""
        texts, strings = [], None
        for line in list(self.lines):
            if line.startswith("method call "):
                strings = 0 if line.rstrip().endswith("member=SendTextMessage") else None
            elif strings is not None and line.strip().startswith('string "'):
                strings += 1
                if strings == 2:
                    texts.append(line.strip()[len('string "'):-1])
        return texts

    def owner_changes(self):
        return sum("member=NameOwnerChanged" in line for line in list(self.lines))


@contextlib.contextmanager
def sending(w):
    """The running service's pid, a BusWatch and a list of client processes ended with it."""
    pid = w.owner_pid()
    check(pid is not None, "service not running")
    watch = BusWatch(w)
    clients = []
    try:
        yield pid, watch, clients
    finally:
        end_all(clients + [watch.proc])


def run_cases(w):
    if not w.set_up():
        return
    import dbus

    w.start_sim()
    # A client that stays connected keeps the one instance, and with it the open port.
    holder = dbus.bus.BusConnection(w.env["DBUS_SESSION_BUS_ADDRESS"])

    def invoke(connection, method, signature="", *args):
        """A call addressed to the bus name, whichever instance owns it now."""
        return connection.call_blocking(BUS_NAME, OBJECT, INTERFACE, method, signature, args,
                                        timeout=CALL_TIMEOUT_S)

    def take_port(connection, name):
        # Init on an instance that has the port already keeps it open.
        @case(name)
        def _():
            invoke(connection, "Init")
            check([int(v) for v in invoke(connection, "GetSMSManagerStatus")] == [1, 0, 1, 1],
                  "status")

    def answer_times():
        """How long the bus thread took to answer Ping and Introspect."""
        took = []
        for interface, method in (("org.freedesktop.DBus.Peer", "Ping"),
                                  ("org.freedesktop.DBus.Introspectable", "Introspect")):
            start = time.monotonic()
            holder.call_blocking(BUS_NAME, OBJECT, interface, method, "", (), timeout=30)
            took.append(time.monotonic() - start)
        return max(took)

    @case("the service takes the modem-sim port (Init after SetSettings)")
    def _():
        w.use_modem(w.modem_link)

    take_port(holder, "an instance that has the port before the load")

    @case(f"{CLIENTS} clients sending at once: all S_OK, whole messages in arrival order, "
          "the service answering and alive throughout")
    def _():
        with sending(w) as (pid, watch, clients):
            first = len(w.commands())
            clients += [start_send(w, f"load {i:02d}", number_of(i))
                        for i in range(1, CLIENTS + 1)]
            waits = []
            while any(c.poll() is None for c in clients) and len(waits) < 40:
                waits.append(answer_times())
                check(w.owner_pid() == pid, "another process owns the name")
                time.sleep(0.5)
            results = [(c.args[-2], *finish(c, CALL_TIMEOUT_S)) for c in clients]
            failed = [r for r in results if r[1] != 0]
            check(not failed, f"clients failed: {failed}")
            check(waits and max(waits) < PROMPT_S,
                  f"Ping/Introspect took up to {max(waits or [0]):.2f} s")
            check(pid_alive(pid) and w.owner_pid() == pid and watch.owner_changes() == 0,
                  "the service was replaced")
            arrival = watch.sent_texts()
            check(sorted(arrival) == [f"load {i:02d}" for i in range(1, CLIENTS + 1)],
                  f"the bus delivered {arrival}")
            expected = writes_of((number_of(int(t.split()[1])), t) for t in arrival)
            check(w.commands(first) == expected,
                  f"modem got {w.commands(first)}, bus order {arrival}")

    take_port(holder, "an instance that has the port before clients leave")

    @case("clients that queue sends and leave: their sends never reach the modem; "
          "a client that stays gets its answer")
    def _():
        first = len(w.commands())
        clients = [start_send(w, "stays 1", number_of(101))]
        try:
            check(wait_until(lambda: len(w.commands()) > first, 15),
                  "the first send did not start")
            for k in range(3):
                leaver = dbus.bus.BusConnection(w.env["DBUS_SESSION_BUS_ADDRESS"])
                for n in range(2):
                    call = dbus.lowlevel.MethodCallMessage(BUS_NAME, OBJECT, INTERFACE,
                                                           "SendTextMessage")
                    call.append(number_of(200 + 2 * k + n), f"gone {k}.{n}", dbus.Int32(0),
                                signature="ssi")
                    leaver.send_message(call)
                leaver.flush()
                leaver.close()  # gives up without waiting for the answers
            clients.append(start_send(w, "stays 2", number_of(102)))
            for c in clients:
                code, err = finish(c, CALL_TIMEOUT_S)
                check(code == 0, f"{c.args[-2]}: {err.strip()}")
            answer_times()
            expected = writes_of([(number_of(101), "stays 1"), (number_of(102), "stays 2")])
            check(w.commands(first) == expected, f"the modem got {w.commands(first)}")
        finally:
            end_all(clients)

    take_port(holder, "an instance that has the port before it idles")
    holder.close()
    successor = dbus.bus.BusConnection(w.env["DBUS_SESSION_BUS_ADDRESS"])

    @case("a call right after the idle service released its name: the new instance's Init "
          "opens the same port")
    def _():
        old = w.owner_pid()
        check(old is not None, "service not running")
        # The last client has gone: the name goes after the idle time.
        check(wait_until(lambda: not successor.name_has_owner(BUS_NAME), 15, step=0.005),
              "the name was not released")
        old_still_running = pid_alive(old)
        try:
            invoke(successor, "Init")
            result = "S_OK"
        except dbus.exceptions.DBusException as e:
            result = e.get_dbus_message()
        check(result == "S_OK", f"Init of the new instance: {result}")
        check(w.owner_pid() not in (None, old), "no new instance")
        check([int(v) for v in invoke(successor, "GetSMSManagerStatus")] == [1, 0, 1, 1],
              "status")
        check(old_still_running, "the old instance had ended before the call: "
              "the hand-over was not tried")

    take_port(successor, "an instance that has the port before the stop signal")

    @case("SIGTERM during a send ends the service within seconds; a queued call is told "
          "0x80004018 and never sent")
    def _():
        with sending(w) as (pid, watch, clients):
            first = len(w.commands())
            clients.append(start_send(w, "cut short", number_of(301)))
            check(wait_until(lambda: len(w.commands()) > first, 15), "the send did not start")
            clients.append(start_send(w, "never sent", number_of(302)))
            check(wait_until(lambda: "never sent" in watch.sent_texts(), 15),
                  "the second call did not reach the service")
            signalled = time.monotonic()
            os.kill(pid, signal.SIGTERM)
            check(wait_until(lambda: not pid_alive(pid), 15), "still running 15 s after SIGTERM")
            took = time.monotonic() - signalled
            # The running call gets 2 s to finish, an orderly end pauses 1 s.
            check(took < 5.0, f"ended {took:.2f} s after SIGTERM")
            code, err = finish(clients[1], 30)
            check(code != 0 and "0x80004018" in err, f"the queued call got: {err.strip()}")
            finish(clients[0], 30)
            check(b"never sent" not in b"".join(w.commands(first)),
                  "the queued send reached the modem")
    successor.close()

    @case("every instance has ended")
    def _():
        check(wait_until(lambda: not w.server_pids(), 15), f"still running: {w.server_pids()}")


if __name__ == "__main__":
    main(run_cases)
