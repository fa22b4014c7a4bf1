#!/usr/bin/python3
"""A thousand callers at once, on a private bus with the system bus's limit of 512 match rules
per connection: every one is answered, the service keeps running, and it asks the bus for no
rule or name owner per caller (the bus's own statistics count what the service sent it).

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import resource
import time

import dbus
import dbus.lowlevel

from dbus_world import BUS_NAME, INTERFACE, OBJECT, case, check, main, wait_until

CALLERS = 1000
# The system bus's own limits: 512 match rules per connection; the connections per user are
# raised so that one test user can be a thousand callers.
LIMITS = """<limit name="max_match_rules_per_connection">512</limit>
  <limit name="max_connections_per_user">4096</limit>
  <limit name="max_completed_connections">4096</limit>
  <limit name="max_incomplete_connections">4096</limit>"""


def connection_stats(bus, name):
    stats = bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus.Debug.Stats", "GetConnectionStats", "s",
                              [name])
    return {str(k): int(v) for k, v in stats.items() if isinstance(v, (dbus.UInt32, int))}


def run_cases(w):
    if not w.programs_present():
        return
    w.install()
    w.start_bus(LIMITS)
    p = w.run([w.server, "-RegServer"])
    check(p.returncode == 0, f"RegServer: {p.stderr.strip()}")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    address = w.env["DBUS_SESSION_BUS_ADDRESS"]
    observer = dbus.bus.BusConnection(address)
    callers = []

    @case(f"{CALLERS} callers at once are all answered by one service that keeps running")
    def _():
        observer.call_blocking(BUS_NAME, OBJECT, INTERFACE, "GetSMSManagerStatus", "", [])
        service = w.owner_pid()
        before = connection_stats(observer, BUS_NAME)
        pending, replies = [], []
        for _ in range(CALLERS):
            bus = dbus.bus.BusConnection(address)
            callers.append(bus)
            call = dbus.lowlevel.MethodCallMessage(BUS_NAME, OBJECT, INTERFACE,
                                                   "GetSMSManagerStatus")
            pending.append(bus.send_message_with_reply(call, replies.append, 60))
        for bus in callers:
            bus.flush()
        for p in pending:
            p.block()
        check(len(replies) == CALLERS, f"{CALLERS - len(replies)} callers got no answer")
        errors = [r for r in replies if isinstance(r, dbus.lowlevel.ErrorMessage)]
        check(not errors, f"{len(errors)} errors, the first: "
                          f"{[(e.get_error_name(), e.get_args_list()) for e in errors[:1]]}")
        check(w.owner_pid() == service, "the service was replaced")
        after = connection_stats(observer, BUS_NAME)
        rules = after.get("MatchRules", 0)
        check(rules <= 2, f"the service holds {rules} match rules")
        # One reply per caller, and nothing else: no AddMatch or GetNameOwner per caller.
        sent = after.get("IncomingMessages", 0) - before.get("IncomingMessages", 0)
        check(sent <= CALLERS + 10, f"the service sent the bus {sent} messages for {CALLERS} calls")

    @case("when the callers leave, the service ends after its idle time")
    def _():
        for bus in callers + [observer]:
            bus.close()
        left = time.monotonic()
        check(wait_until(lambda: w.owner_pid() is None, 15), "the service kept its name")
        took = time.monotonic() - left
        check(4.5 <= took, f"the name went {took:.1f} s after the callers left")
        check(wait_until(lambda: not w.server_pids(), 5), "the service is still running")


if __name__ == "__main__":
    main(run_cases)
