#!/usr/bin/python3
"""SetSettings killed with SIGKILL on the real Linux service at the write of the new settings
and at its replacing SMSMgr.ini: the file is then exactly the old or the new one, never a mix,
and a restarted service reads it. Also, Init refuses a settings file over 64 KiB.

The service is started directly on a private bus; the preloaded library of tests/e2e/stall
stops it at the step under test.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import os
import signal
import subprocess

from dbus_world import case, check, end_all, main, report, wait_until

# A long file in PDU mode, then short ones in text mode: nothing of the long one's tail (its
# "SMSCharacterSet:1" once won over the new value) may stay behind.
OLD = ("COM-" + "x" * 300, 9600, 8, 0, 0, 1, 0, 1)
NEW = ("COM1", 460800, 8, 0, 0, 1, 0, 0)
NEWER = ("COM2", 115200, 8, 0, 0, 1, 0, 0)


def settings_file(port, baud, data, parity, stop, handshake, timeout_mode, charset):
    return (f"Port:{port}\r\nBaudrate:{baud}\r\nDataBits:{data}\r\n"
            f"Parity:{parity}(0=None,1=Odd,2=Even)\r\n"
            f"StopBits:{stop}(0=1,1=1.5,2=2)\r\n"
            f"Handshaking:{handshake}(0=Off,1=Hardware,2=Software)\r\n"
            f"ReadTimeout:{timeout_mode}(0=Nonblocking,1=Blockinging)\r\n"
            f"SMSCharacterSet:{charset}(0=PCCP437(default),1=UCS2(PDU mode))\r\n").encode()


class Service:
    """One copy of the service serving the private bus, started directly, not by the bus; with
    `stall_at`, it stops for good at that step of a save and says so in `marker`."""

    def __init__(self, w, stall_at=None):
        self.w = w
        env = dict(w.env)
        self.marker = os.path.join(w.tmp, "stalled")
        if stall_at:
            # A sanitized build must accept a library loaded ahead of its runtime.
            env.update(LD_PRELOAD=stall_library(w), MEREL_STALL_AT=stall_at,
                       MEREL_STALL_MARKER=self.marker,
                       ASAN_OPTIONS=":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                          "verify_asan_link_order=0"])))
        self.proc = subprocess.Popen([w.server], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        check(wait_until(lambda: w.owner_pid() == self.proc.pid, 15),
              f"the service did not take the bus name: {self.stderr()}")

    def stderr(self):
        return "(still running)" if self.proc.poll() is None else self.proc.stderr.read().strip()

    def init_reads_the_file(self):
        # The port names no device, so Init fails after the file was read.
        self.w.busctl("Init")
        check(self.w.status()[0] == 1, "Init did not read SMSMgr.ini")
        return self.w.settings()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)
        if os.path.exists(self.marker):
            os.unlink(self.marker)
        check(wait_until(lambda: self.w.owner_pid() is None, 10), "the bus name stays taken")


def stall_library(w):
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(w.built_server))))
    return os.path.join(build, "tests", "e2e", "stall", "libmerel_stall.so")


def run_cases(w):
    if not os.path.exists(stall_library(w)):
        report(False, "built programs are present", f"missing {stall_library(w)}")
        return
    if not w.set_up():
        return

    def content():
        with open(w.ini, "rb") as f:
            return f.read()

    def others():
        return sorted(set(os.listdir(w.bin)) - {"SMSMgr.ini", os.path.basename(w.server)})

    for step, survivor in (("write", OLD), ("rename", OLD), ("renamed", NEW)):
        name = "the old" if survivor is OLD else "the new"

        @case(f"killed at the step '{step}' of SetSettings, SMSMgr.ini is exactly {name} file "
              "and a restarted service reads it and saves again")
        def _():
            with open(w.ini, "wb") as f:
                f.write(settings_file(*OLD))
            setter = None
            try:
                with Service(w, stall_at=step) as service:
                    service.init_reads_the_file()
                    setter = w.start_call("SetSettings", "sinnnnnn", *NEW, timeout=60)
                    check(wait_until(lambda: os.path.exists(service.marker), 15),
                          f"the service never reached the step: {service.stderr()}")
            finally:
                end_all([setter])
            check(content() == settings_file(*survivor), f"SMSMgr.ini holds {content()!r}")
            # What the killed save left beside the file does not stand in the next one's way,
            # and a save over a longer file leaves nothing of its tail.
            with Service(w) as service:
                got = service.init_reads_the_file()
                check(got == list(survivor), f"a restarted service read {got}")
                p = w.set_settings(*NEWER)
                check(p.returncode == 0, f"SetSettings failed: {p.stderr.strip()}")
            check(content() == settings_file(*NEWER), f"SMSMgr.ini holds {content()!r}")
            check(others() == [], f"left beside it: {others()}")

    @case("Init refuses a settings file over 64 KiB with 0x800700DF and reads nothing of it")
    def _():
        # 100 MB of holes and then one line that would change the port.
        with open(w.ini, "wb") as f:
            f.truncate(100 << 20)
            f.seek(0, os.SEEK_END)
            f.write(b"\r\nPort:COM7\r\n")
        with Service(w):
            check(w.call_fails("Init") == 0x800700DF, "Init did not refuse the file")
            check(w.status() == [0, 0, 0, 0], f"status {w.status()}")
            check(w.settings()[0] == "", f"GetSettings: {w.settings()}")


if __name__ == "__main__":
    main(run_cases)
