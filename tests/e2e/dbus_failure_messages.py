#!/usr/bin/python3
"""What a client of the real service reads when a call fails: for each way the settings file,
the port or the input can fail, the whole D-Bus error message, HRESULT first, naming the file,
the port or the argument and saying why. Each message is also printed on a "said - " line.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import fcntl
import os
import subprocess

from dbus_world import case, check, main, wait_until


def run_cases(w):
    if not w.set_up():
        return
    w.start_sim()
    p = w.run([w.server, "-RegServer"])
    check(p.returncode == 0, f"RegServer: {p.stderr.strip()}")
    ini = w.ini

    def said(kind, method, signature, *args, expected):
        _, text = w.call_error(method, signature, *args)
        print(f"said - {kind}: {text}", flush=True)
        check(text == expected, f"{method} said {text!r}")

    def settings(port, charset=0):
        p = w.set_settings(port, 460800, 8, 0, 0, 1, 0, charset)
        check(p.returncode == 0, f"SetSettings: {p.stderr.strip()}")

    @case("a send before Init says that nothing is ready")
    def _():
        said("send before Init", "SendMessage", "ss", "+491701234567", "Hi",
             expected="0x80004005: not ready to send: no settings file read and no port "
                      "configured: call Init first")

    @case("a missing settings file is named with its path")
    def _():
        said("settings file missing", "Init", None,
             expected=f"0x80070002: settings file {ini} not found: write it with SetSettings")

    @case("a settings file larger than 64 KiB is refused with its size limit")
    def _():
        with open(ini, "w") as f:
            f.write(" " * 70000)
        said("settings file too large", "Init", None,
             expected=f"0x800700DF: settings file {ini} cannot be read: it is larger than 65536 "
                      "bytes")
        os.unlink(ini)

    @case("a port name the file cannot keep is refused before anything is written")
    def _():
        w.busctl("Init")
        said("settings not writable (port name)", "SetSettings", "sinnnnnn",
             "/dev/tty\u010d", 460800, 8, 0, 0, 1, 0, 0,
             expected=f"0x80004005: settings file {ini} could not be written: character 9 of "
                      "the port name (U+010D) would be stored as a NUL, CR or LF byte, and the "
                      "file read back otherwise")
        check(not os.path.exists(ini), "a settings file was written")

    @case("a missing port is named; a later send says why no port is open")
    def _():
        settings("/dev/does-not-exist")
        said("port missing", "Init", None,
             expected="0x80070002: cannot open port /dev/does-not-exist: no such device")
        said("send after the port could not be opened", "SendMessage", "ss", "+491701234567",
             "Hi", expected="0x80070006: no port is open: port /dev/does-not-exist could not "
                            "be opened (0x80070002: not found)")

    @case("a file that is not a terminal is not a serial device")
    def _():
        settings("/dev/null")
        said("not a serial device", "TestPort", None,
             expected="0x800704B0: cannot open port /dev/null: not a serial device")

    @case("a port that another program holds is in use")
    def _():
        settings(w.modem_link)
        with open(w.modem_link, "rb+", buffering=0) as held:
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            said("port busy", "TestPort", None,
                 expected=f"0x80070020: cannot open port {w.modem_link}: in use by another "
                          "program")

    @case("refused numbers and texts say which argument and what is allowed")
    def _():
        w.call_ok("TestPort")
        said("text mode, number", "SendTextMessage", "ssi", '+49"1', "Hi", 0,
             expected='0x80070057: number "+49"1" refused: it holds a quote; in text mode a '
                      "number holds at least one digit and only printable ASCII characters "
                      '(space to ~) other than "')
        said("text mode, text", "SendTextMessage", "ssi", "+491", "Hi\x1b", 0,
             expected="0x80070057: text refused: character 3 would reach the modem as ESC, "
                      "which abandons the message; in text mode a text may not hold Ctrl-Z or "
                      "ESC")
        said("PDU mode, number", "SendPDUMessage", "ss", "9" * 21, "Hi",
             expected=f'0x80070057: number "{"9" * 21}" refused: it has more than 20 digits; '
                      "in PDU mode a number holds digits, spaces, the separators - . ( ) and "
                      "one leading +, with at most 20 digits")
        settings(w.modem_link, charset=7)
        w.call_ok("Init")
        said("unknown character set", "SendMessage", "ss", "+491", "Hi",
             expected="0x80070057: the stored character set 7 is neither 0 (text mode) nor 1 "
                      "(PDU mode): change it with SetSettings")

    @case("a missing settings folder is named")
    def _():
        # A service of its own, started by hand on the test's bus with a folder that is not
        # there; the one before ends first so that the name is free.
        for pid in w.server_pids():
            os.kill(pid, 15)
        check(wait_until(lambda: not w.server_pids(), 10), "the service did not end")
        missing = os.path.join(w.tmp, "no-such-folder")
        server = subprocess.Popen([w.server, "--settings-dir", missing], env=w.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            check(wait_until(lambda: w.owner_pid() == server.pid, 10), "the service took no name")
            said("settings folder missing", "Init", None,
                 expected=f"0x80070003: settings file {missing}/SMSMgr.ini not found: its "
                          "folder does not exist")
        finally:
            server.terminate()
            server.wait(timeout=10)



if __name__ == "__main__":
    main(run_cases)
