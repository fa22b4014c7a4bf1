#!/usr/bin/python3
"""The answering simulated modem on a real pseudo terminal.

A small client opens the device that `modem-sim --answer ok` prints, writes commands as the
manager does and reads what comes back: echo and OK, the prompt, the message reference
counting up, the joined "AT$RESET" line answered ERROR, and a message given up by a byte
written before its result. The JSON transcript must show the answers and the cancelled
message. Every wait is bounded; the simulator is ended by the test.

Environment: MEREL_BUILD_LINUX (build folder). Prints one ok/not ok line per case.
"""
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import tty

results = []


def case(name, ok, reason=""):
    results.append(ok)
    print(f"ok - {name}" if ok else f"not ok - {name} ({reason})")
    sys.stdout.flush()


def read_until(fd, wanted, timeout):
    """What the modem writes until `wanted` is in it, or until `timeout` seconds pass."""
    got = b""
    deadline = time.monotonic() + timeout
    while wanted is None or wanted not in got:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            try:
                got += os.read(fd, 4096)
            except BlockingIOError:
                pass
    return got


def main():
    build = os.environ.get("MEREL_BUILD_LINUX", "build/linux")
    sim_path = os.path.join(build, "tools", "modem-sim", "modem-sim")
    if not os.access(sim_path, os.X_OK):
        print(f"skip - modem-sim answers (no {sim_path})")
        return 0

    wrong = subprocess.run([sim_path, "--refuse", "330"], capture_output=True, timeout=10)
    case("an answering option without --answer ok is refused",
         wrong.returncode == 2 and b"--refuse needs --answer ok" in wrong.stderr,
         f"exit {wrong.returncode}: {wrong.stderr!r}")

    work = tempfile.mkdtemp(prefix="merel-sim-answers-")
    transcript = os.path.join(work, "transcript.jsonl")
    sim = subprocess.Popen([sim_path, "--answer", "ok", "--confirm-delay", "1", "--json",
                            "--transcript", transcript, "--idle-exit", "30"],
                           stdout=subprocess.PIPE)
    fd = -1
    try:
        ready, _, _ = select.select([sim.stdout], [], [], 10)
        line = sim.stdout.readline().decode() if ready else ""
        if not line.startswith("device: "):
            case("modem-sim prints its device", False, repr(line))
            return 1
        fd = os.open(line.split(" ", 1)[1].strip(), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd)

        def say(data, wanted, timeout=3):
            os.write(fd, data)
            return read_until(fd, wanted, timeout)

        got = say(b"AT\r", b"OK\r\n")
        case("AT is echoed and answered OK", got == b"AT\r\r\nOK\r\n", repr(got))

        say(b"AT+CMGF=1\n\r", b"OK\r\n")
        got = say(b'AT+CMGS="+49170"\n\r', b"> ")
        case("AT+CMGS gets the prompt", got == b'AT+CMGS="+49170"\n\r\r\n> ', repr(got))
        start = time.monotonic()
        got = say(b"Hi\x1a\n\r", b"OK\r\n", 5)
        took = time.monotonic() - start
        case("the message is confirmed with reference 0 after the delay",
             got == b"\r\n+CMGS: 0\r\n\r\nOK\r\n" and 0.9 <= took < 5,
             f"{got!r} after {took:.2f} s")

        os.write(fd, b"AT$RESET")
        got = say(b'AT+CSCS="PCCP437"\n\r', b"ERROR\r\n")
        case("the command after AT$RESET shares its line and gets ERROR",
             got == b'AT$RESETAT+CSCS="PCCP437"\n\r\r\nERROR\r\n', repr(got))

        say(b'AT+CMGS="+49170"\n\r', b"> ")
        got = say(b"Again\x1a\n\r", b"OK\r\n", 5)
        case("the next message gets reference 1", got == b"\r\n+CMGS: 1\r\n\r\nOK\r\n", repr(got))

        say(b'AT+CMGS="+49170"\n\r', b"> ")
        # One write, so that the byte comes before the result however busy the machine is.
        got = say(b"Lost\x1a\n\rAT\r", b"OK\r\n")
        got += read_until(fd, None, 1.5)
        case("a byte before the result gives the message up",
             got == b"AT\r\r\nOK\r\n", repr(got))
    finally:
        if fd >= 0:
            os.close(fd)
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()

    with open(transcript, encoding="utf-8") as f:
        records = [json.loads(line) for line in f if line.strip()]
    answers = [r for r in records if r["type"] == "answer"]
    cancelled = [r for r in records if r["type"] == "cancelled"]
    case("the transcript shows the answers with their times",
         any(bytes.fromhex(r["bytes_hex"]) == b"\r\n+CMGS: 1\r\n\r\nOK\r\n" for r in answers)
         and all(isinstance(r["t_ms"], float) for r in answers),
         f"{len(answers)} answers")
    case("the transcript says why the joined line failed",
         any("AT$RESET" in (r["note"] or "") for r in answers), "no note")
    case("the transcript shows the message given up, and only it",
         len(cancelled) == 1 and cancelled[0]["reason"] == "early byte"
         and cancelled[0]["byte_hex"] == "41"
         and bytes.fromhex(cancelled[0]["body_hex"]) == b"Lost", repr(cancelled))
    again = [r for r in records if r["type"] == "message" and r.get("text") == "Again"]
    case("a message is read in the character set that the modem kept",
         len(again) == 1 and again[0]["charset"] == "IRA", repr(again))
    os.remove(transcript)
    os.rmdir(work)
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
