#!/usr/bin/python3
"""Oversized strings and floods of calls on the real service, on a private session bus with
modem-sim: a 30 MB number, a hundred calls at once with 1 MB texts and a 30 MB port name are
refused with E_INVALIDARG naming the argument and the limit, nothing reaches the modem or the
settings, and the service's peak memory (VmHWM) stays under 32 MB. A client that queues more
calls than its bound gets E_OUTOFMEMORY for the rest at once, while another client's call is
still taken and served.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import time

from dbus_world import BUS_NAME, INTERFACE, OBJECT, case, check, main, pid_alive, wait_until

E_INVALIDARG = 0x80070057
E_OUTOFMEMORY = 0x8007000E
MB = 1 << 20
PEAK_LIMIT_KB = 32 * 1024
PER_CLIENT = 32  # waiting calls one client may have
# Sends wait behind each other (about 5 s each in text mode); sanitizer builds are slower.
CALL_TIMEOUT_S = 300
NUMBER = "+49 170 1234567"


def hresult_of(error_name):
    prefix = "MerelSMSManager.Error.HRESULT_"
    return int(error_name[len(prefix):], 16) if error_name.startswith(prefix) else None


class Client:
    """A bus connection of its own, whose calls all go out at once and are answered in any
    order: answers[key] is (HRESULT, message), 0 and "" for success."""

    def __init__(self, w):
        from gi.repository import Gio
        self.conn = Gio.DBusConnection.new_for_address_sync(
            w.env["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.answers = {}

    def start(self, key, method, signature, *args):
        from gi.repository import Gio, GLib

        def done(conn, result, _data):
            try:
                conn.call_finish(result)
                self.answers[key] = (0, "")
            except GLib.Error as e:
                name = Gio.DBusError.get_remote_error(e) or ""
                # GDBus puts the error's name before its message.
                self.answers[key] = (hresult_of(name),
                                     e.message.split(f"GDBus.Error:{name}: ", 1)[-1])

        self.conn.call(BUS_NAME, OBJECT, INTERFACE, method, GLib.Variant(f"({signature})", args),
                       None, Gio.DBusCallFlags.NONE, CALL_TIMEOUT_S * 1000, None, done, None)

    def call(self, method, signature, *args, seconds=60):
        """One call, waited for: its (HRESULT, message)."""
        key = object()
        self.start(key, method, signature, *args)
        check(pump(lambda: key in self.answers, seconds), f"{method} unanswered")
        return self.answers.pop(key)

    def close(self):
        self.conn.close_sync(None)


def pump(predicate, seconds):
    """Runs the callbacks of answered calls until `predicate` holds or `seconds` have gone."""
    from gi.repository import GLib
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() >= end:
            return False
        if not context.iteration(False):
            time.sleep(0.01)
    return True


def peak_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM")


def run_cases(w):
    if not w.set_up():
        return
    w.start_sim()

    @case("the service starts and Init opens the modem in text mode")
    def _():
        w.use_modem(w.modem_link)

    # Keeps the service from ending between the cases, so that one process is measured.
    keeper = Client(w)
    check(keeper.call("GetSMSManagerStatus", "")[0] == 0, "status")
    pid = w.owner_pid()
    settings = w.settings()
    with open(w.ini, "rb") as f:
        ini = f.read()
    commands = len(w.commands())

    def reset_peak():
        # Writing 5 sets the peak back to what is resident now (proc(5), clear_refs).
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")
        print(f"# VmHWM reset: {peak_kb(pid)} kB", flush=True)

    def peak_below_limit(after, limit_kb=PEAK_LIMIT_KB):
        peak = peak_kb(pid)
        print(f"# VmHWM after {after}: {peak} kB", flush=True)
        check(peak < limit_kb, f"VmHWM {peak} kB after {after}")

    @case("a 30 MB number is refused naming the argument and the limit; peak memory under 32 MB "
          "besides the message itself")
    def _():
        reset_peak()
        hr, message = keeper.call("SendTextMessage", "ssi", "9" * (30 * MB), "Hi", 0)
        check(hr == E_INVALIDARG, f"0x{hr or 0:08X}")
        check(message == "0x80070057: number (u_bstrPhoneNr) refused: it has 31457280 bytes of "
              "UTF-8; the server takes at most 4096", message)
        peak_below_limit("a 30 MB number", PEAK_LIMIT_KB + 30 * 1024)

    @case("100 calls at once with 1 MB texts from ten clients are all refused; peak under 32 MB")
    def _():
        reset_peak()
        clients = [Client(w) for _ in range(10)]
        try:
            for c in clients:
                for k in range(10):
                    c.start(k, "SendMessage" if k % 2 else "SendPDUMessage", "ss", NUMBER,
                            "x" * MB)
            check(pump(lambda: all(len(c.answers) == 10 for c in clients), 120), "unanswered")
            for c in clients:
                for hr, message in c.answers.values():
                    check(hr == E_INVALIDARG and message == "0x80070057: text (u_bstrMessage) "
                          "refused: it has 1048576 bytes of UTF-8; the server takes at most "
                          "4096", message)
        finally:
            for c in clients:
                c.close()
        peak_below_limit("100 calls with 1 MB texts")

    @case("a 30 MB port name is refused and not stored; GetSettings and SMSMgr.ini unchanged; peak "
          "memory under 32 MB besides the message itself")
    def _():
        reset_peak()
        hr, message = keeper.call("SetSettings", "sinnnnnn", "/dev/" + "p" * (30 * MB), 9600, 8,
                                  0, 0, 0, 0, 1)
        check(hr == E_INVALIDARG, f"0x{hr or 0:08X}")
        check(message == "0x80070057: port name (u_bstrPort) refused: it has 31457285 bytes of "
              "UTF-8; the server takes at most 4096", message)
        check(w.settings() == settings, f"settings now {w.settings()}")
        with open(w.ini, "rb") as f:
            check(f.read() == ini, "SMSMgr.ini changed")
        peak_below_limit("a 30 MB port name", PEAK_LIMIT_KB + 30 * 1024)

    @case("strings at the limit reach the send's own checks; one byte more is refused on arrival")
    def _():
        hr, message = keeper.call("SendTextMessage", "ssi", NUMBER, "x" * 4096, 0)
        check(hr == E_INVALIDARG and message.endswith(
            "text refused: it has 4096 characters; text mode takes at most 511"), message)
        hr, message = keeper.call("SendTextMessage", "ssi", NUMBER, "\u00e9" * 2049, 0)
        check(hr == E_INVALIDARG and message.endswith(
            "text (u_bstrMessage) refused: it has 4098 bytes of UTF-8; the server takes at most "
            "4096"), message)

    @case("nothing refused reached the modem, and the same service process answered throughout")
    def _():
        check(len(w.commands()) == commands, f"modem got {w.commands()[commands:]}")
        check(w.owner_pid() == pid, "the service was replaced")

    @case("a flooding client gets E_OUTOFMEMORY beyond its bound; another client is served")
    def _():
        reset_peak()
        flood, other = Client(w), Client(w)
        try:
            flood.start("running", "SendTextMessage", "ssi", NUMBER, "first", 0)
            # Once the modem hears from the first send it runs, and no longer waits.
            check(pump(lambda: len(w.commands()) > commands, 30), "the first send never ran")
            for k in range(PER_CLIENT + 8):
                flood.start(k, "SendTextMessage", "ssi", NUMBER, f"flood {k}", 0)
            beyond = set(range(PER_CLIENT, PER_CLIENT + 8))
            check(pump(lambda: beyond <= flood.answers.keys(), 30),
                  f"answered at once: {sorted(flood.answers)}")
            check(flood.answers.keys() == beyond, f"answered: {sorted(flood.answers)}")
            for hr, message in flood.answers.values():
                check(hr == E_OUTOFMEMORY and message == "0x8007000E: the server has too many "
                      "calls waiting: at most 32 calls from one caller and 256 in all wait for "
                      "their turn; call again once some have been answered", message)
            other.start("other", "SendTextMessage", "ssi", NUMBER, "other", 0)
            # The flooder leaves: its waiting calls are dropped, and the other's comes next.
            flood.close()
            check(pump(lambda: "other" in other.answers, CALL_TIMEOUT_S), "other unanswered")
            check(other.answers["other"] == (0, ""), f"other got {other.answers['other']}")
        finally:
            other.close()
        texts = [c for c in w.commands(commands) if c.endswith(b"\x1a\n\r")]
        check(texts == [b"first\x1a\n\r", b"other\x1a\n\r"], f"the modem got {texts}")
        peak_below_limit("a flood of calls")

    keeper.close()

    @case("the service ends once its clients have gone")
    def _():
        check(wait_until(lambda: not pid_alive(pid), 30), "still running after 30 s")


if __name__ == "__main__":
    main(run_cases)
