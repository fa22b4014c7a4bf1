#!/usr/bin/python3
"""A real manager on Linux sends one text-mode and one PDU-mode SMS to the simulated modem.

The manager (through merel_manager_driver) reads SMSMgr.ini beside its program, opens the
modem-sim pseudo terminal named there, sends, closes and reopens the port (TestPort) and sends
again. The simulator's JSON transcript must hold exactly the expected writes, each at least one
second after the previous, and the two decoded messages.

Environment: MEREL_BUILD_LINUX (build folder). Prints one ok/not ok line per case.
"""
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# The sim stamps a command when it reads it, and a pseudo terminal hands bytes on with a small,
# varying delay: a late read of one command shortens the gap after it by that delay. Single gaps
# are checked with a wide allowance, the span of all of them with a narrow one, since there only
# the delay of the first read counts.
GAP_SLACK_MS = 50
SPAN_SLACK_MS = 20

TEXT_NUMBER, TEXT_MESSAGE = "+49 170 1234567", "Hello"
PDU_NUMBER, PDU_MESSAGE = "+49 (170) 123-4567", "Grüße € 😀"
PDU_HEX = ("0021000C91947110325476" "0008" "14"
           "0047007200FC00DF0065002020AC0020D83DDE00")

# Init and TestPort each write one ESC after opening the port, with the pause of a command.
EXPECTED_WRITES = [
    b"\x1b",
    b'AT+CSCS="PCCP437"\n\r', b"AT+CMGF=1\n\r", b'AT+CMGS="+491701234567"\n\r',
    b"Hello\x1a\n\r", b"AT$RESET",
    b"\x1b",
    b'AT+CSCS="UCS2"\n\r', b"AT+CMEE=2\n\r", b"AT+CMGF=0\n\r",
    b"AT+CMGS=%d\n\r" % (len(PDU_HEX) // 2 - 1), PDU_HEX.encode() + b"\x1a\n\r", b"AT$RESET",
]

results = []


def case(name, ok, reason=""):
    results.append(ok)
    print(f"ok - {name}" if ok else f"not ok - {name} ({reason})")
    sys.stdout.flush()


def read_line(stream, timeout):
    """One line from a pipe, or None when it does not come in time."""
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline().decode() if ready else None


def ini_text(port):
    lines = [f"Port:{port}", "Baudrate:115200", "DataBits:8", "Parity:0(0=None,1=Odd,2=Even)",
             "StopBits:0(0=1,1=1.5,2=2)", "Handshaking:1(0=Off,1=Hardware,2=Software)",
             "ReadTimeout:0(0=Nonblocking,1=Blockinging)",
             "SMSCharacterSet:0(0=PCCP437(default),1=UCS2(PDU mode))"]
    return "".join(line + "\r\n" for line in lines).encode()


def main():
    build = os.environ.get("MEREL_BUILD_LINUX")
    if not build:
        case("manager sends through modem-sim", False, "MEREL_BUILD_LINUX not set")
        return 1
    sim_program = os.path.join(build, "tools", "modem-sim", "modem-sim")
    driver_program = os.path.join(build, "tests", "e2e", "driver", "merel_manager_driver")

    tmp = tempfile.mkdtemp(prefix="merel-linux-send-")
    sim = None
    try:
        link = os.path.join(tmp, "modem")
        transcript_path = os.path.join(tmp, "transcript.jsonl")
        sim = subprocess.Popen(
            [sim_program, "--json", "--link", link, "--transcript", transcript_path,
             "--idle-exit", "60"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = read_line(sim.stdout, 10)
        device = first[len("device: "):].strip() if first and first.startswith("device: ") else ""
        case("modem-sim offers a device and its link",
             device.startswith("/dev/pts/") and os.path.realpath(link) == device,
             f"first line {first!r}")
        if not device:
            return 1

        bindir = os.path.join(tmp, "bin")
        os.mkdir(bindir)
        driver = os.path.join(bindir, "merel_manager_driver")
        shutil.copy2(driver_program, driver)
        with open(os.path.join(bindir, "SMSMgr.ini"), "wb") as f:
            f.write(ini_text(link))

        try:
            run = subprocess.run(
                [driver, "init", "status", "text", TEXT_NUMBER, TEXT_MESSAGE, "testport",
                 "pdu", PDU_NUMBER, PDU_MESSAGE],
                capture_output=True, timeout=60)
            output = run.stdout.decode().split("\n")
        except subprocess.TimeoutExpired:
            output = ["driver timed out"]
        want = ["Init 0x00000000", "GetSMSManagerStatus 0x00000000 1 0 1 1",
                "SendTextMessage 0x00000000", "TestPort 0x00000000", "SendPDUMessage 0x00000000"]
        case("Init, TestPort and both sends return S_OK", output[:5] == want,
             f"driver printed {output}")

        # The simulator ends on SIGTERM, writing out what it holds and removing its link.
        sim.send_signal(signal.SIGTERM)
        try:
            rc = sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            rc = None
        case("modem-sim ends cleanly on SIGTERM", rc == 0 and not os.path.lexists(link),
             f"exit {rc}, link {'left behind' if os.path.lexists(link) else 'removed'}")

        with open(transcript_path, encoding="utf-8") as f:
            records = [json.loads(line) for line in f]
        commands = [r for r in records if r["type"] == "command"]
        messages = [r for r in records if r["type"] == "message"]

        writes = [bytes.fromhex(c["bytes_hex"]) for c in commands]
        case("the modem receives exactly the expected writes", writes == EXPECTED_WRITES,
             f"got {writes}")

        pauses = [c["pause_ms"] for c in commands[1:]]
        short = [p for p in pauses if p is None or p < 1000 - GAP_SLACK_MS]
        span = commands[-1]["t_ms"] - commands[0]["t_ms"] if commands else 0
        case(f"each write follows the previous by at least one second "
             f"(shortest gap {min(pauses, default=0):.1f} ms, span {span:.1f} ms)",
             commands and commands[0]["pause_ms"] is None and pauses and not short
             and span >= 1000 * len(pauses) - SPAN_SLACK_MS,
             f"gaps {pauses}, span {span}")

        text = [m for m in messages if m["mode"] == "text"]
        case("text-mode message decoded",
             len(text) == 1 and text[0]["number"] == "+491701234567"
             and text[0]["text"] == TEXT_MESSAGE and text[0]["charset"] == "PCCP437"
             and text[0]["text_hex"] == TEXT_MESSAGE.encode().hex().upper(),
             f"got {text}")

        pdu = [m for m in messages if m["mode"] == "pdu"]
        case("PDU-mode message decoded",
             len(pdu) == 1 and pdu[0]["error"] is None and pdu[0]["number"] == "+491701234567"
             and pdu[0]["toa"] == "91" and pdu[0]["dcs"] == "08"
             and pdu[0]["text"] == PDU_MESSAGE and pdu[0]["length_ok"] is True
             and pdu[0]["cmgs_length"] == len(PDU_HEX) // 2 - 1,
             f"got {pdu}")
    except Exception as e:  # a broken run is a failed case, never a hang or a traceback only
        case("linux manager send ran to its end", False, repr(e))
    finally:
        if sim is not None and sim.poll() is None:
            sim.kill()
            sim.wait(timeout=10)
        if sim is not None:
            sim.stdout.close()
            sim.stderr.close()
        shutil.rmtree(tmp, ignore_errors=True)
    return 0 if results and all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
