# Checks what the simulated modem received during one phase of windows_server.sh: the exact
# bytes of every write, the one-second pause between the writes of a send, and, for PDU-mode
# sends, that a reader of SMS-SUBMIT written apart from the encoder (sms_submit.py) decodes the
# PDU to the number and text that were sent. Run with /usr/bin/python3:
#   windows_transcript_check.py TRANSCRIPT FIRST_INDEX LABEL SEND [SEND...]
# FIRST_INDEX is the index of the phase's first command; SEND names one of the sends below, or
# "esc" for the ESC that an open of the port writes.
# Prints "ok - ..." / "not ok - ..." lines; exits 1 when a check failed.
import json
import sys
import time

from sms_submit import decode_submit

LF_CR = b"\n\r"
END = b"\x1a\n\r"

# The writes expected for each send that the clients make, byte for byte.
SENDS = {
    "text-cpp": [
        b'AT+CSCS="PCCP437"' + LF_CR,
        b"AT+CMGF=1" + LF_CR,
        b'AT+CMGS="01701234567"' + LF_CR,
        b"Hello from C++" + END,
        b"AT$RESET",
    ],
    "pdu-cpp": [
        b'AT+CSCS="UCS2"' + LF_CR,
        b"AT+CMEE=2" + LF_CR,
        b"AT+CMGF=0" + LF_CR,
        b"AT+CMGS=16" + LF_CR,
        b"0021000A91942143658700080400480069" + END,
        b"AT$RESET",
    ],
    "text-vbs": [
        b'AT+CSCS="PCCP437"' + LF_CR,
        b"AT+CMGF=1" + LF_CR,
        b'AT+CMGS="01701234567"' + LF_CR,
        b"Hello from VBScript" + END,
        b"AT$RESET",
    ],
    "text-cli": [
        b'AT+CSCS="PCCP437"' + LF_CR,
        b"AT+CMGF=1" + LF_CR,
        b'AT+CMGS="+491701234567"' + LF_CR,
        b"Gr\x81\xe1e" + END,  # code page 437, converted by merel-sms
        b"AT$RESET",
    ],
    "pdu-example": [
        b'AT+CSCS="UCS2"' + LF_CR,
        b"AT+CMEE=2" + LF_CR,
        b"AT+CMGF=0" + LF_CR,
        b"AT+CMGS=17" + LF_CR,
        b"0021000C9194711032547600080400480069" + END,
        b"AT$RESET",
    ],
    "text-vbs-second": [
        b'AT+CSCS="PCCP437"' + LF_CR,
        b"AT+CMGF=1" + LF_CR,
        b'AT+CMGS="01702222"' + LF_CR,
        b"Hello on the second port" + END,
        b"AT$RESET",
    ],
    "pdu-vbs": [
        b'AT+CSCS="UCS2"' + LF_CR,
        b"AT+CMEE=2" + LF_CR,
        b"AT+CMGF=0" + LF_CR,
        b"AT+CMGS=26" + LF_CR,
        b"0021000A91942143658700080E0047007200FC00DF0065002020AC" + END,
        b"AT$RESET",
    ],
}

# The ESC that Init and TestPort write after opening the port, a command of its own. The name
# "esc" in a phase's list asks for one; more of them, from a server that a client's Init found
# ended and started anew, are allowed between sends, never inside one.
ESC = b"\x1b"

# What an independent decoder must read out of the PDU of a PDU-mode send.
DECODED = {
    "pdu-cpp": ("+4912345678", "Hi"),
    "pdu-vbs": ("+4912345678", "Gr\u00fc\u00dfe \u20ac"),
    "pdu-example": ("+491701234567", "Hi"),
}

# WriteCommand pauses 1000 ms after each write. The modem stamps a command when it reads it,
# after a varying delay: a late read makes one gap longer and the next one shorter by that
# delay, so single gaps say little on a busy machine. A stamp is never earlier than its write,
# though: the k-th command must be stamped at least k seconds after the first, less the first
# read's own delay.
FIRST_READ_SLACK_MS = 30


def is_esc(record):
    return bytes.fromhex(record["bytes_hex"]) == ESC


def read_commands(path, first, count, escs, wait_s=10.0):
    """The command records with index >= first, waiting until `count` of them that are no lone
    ESC and `escs` lone ESCs are there."""
    deadline = time.monotonic() + wait_s
    while True:
        commands = []
        with open(path, encoding="utf-8") as f:
            for line in f:
                try:
                    record = json.loads(line)
                except ValueError:
                    continue  # a line still being written
                if record.get("type") == "command" and record["index"] >= first:
                    commands.append(record)
        lone = sum(1 for c in commands if is_esc(c))
        if (len(commands) - lone >= count and lone >= escs) or time.monotonic() > deadline:
            return commands
        time.sleep(0.2)


def main():
    path, first, label, names = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4:]
    failures = 0

    def check(passed, name, reason=""):
        nonlocal failures
        if passed:
            print(f"ok - {label}: {name}")
        else:
            failures += 1
            print(f"not ok - {label}: {name} ({reason})")

    escs = names.count("esc")
    names = [n for n in names if n != "esc"]
    expected = [w for n in names for w in SENDS[n]]
    commands = read_commands(path, first, len(expected), escs)
    lone = [k for k, c in enumerate(commands) if is_esc(c)]
    check(len(lone) >= escs, f"the port's opens wrote at least {escs} ESC",
          f"{len(lone)} lone ESC")
    check(len(commands) - len(lone) == len(expected),
          "the modem received the expected number of writes",
          f"{len(commands) - len(lone)} writes and {len(lone)} ESC, want {len(expected)}")

    at = 0
    for name in names:
        writes = SENDS[name]
        while at < len(commands) and is_esc(commands[at]):
            at += 1  # between sends only: inside one, an ESC spoils its bytes
        got = commands[at:at + len(writes)]
        received = [bytes.fromhex(c["bytes_hex"]) for c in got]
        mismatch = next((f"write {i + 1}: {r!r} != {w!r}"
                         for i, (r, w) in enumerate(zip(received, writes)) if r != w), "")
        check(received == writes, f"{name} send is byte-exact",
              mismatch or f"{len(received)} writes")
        pauses = [c.get("pause_ms") or 0 for c in got[1:]]
        since_first = [c["t_ms"] - got[0]["t_ms"] for c in got]
        early = [k for k, t in enumerate(since_first) if t < 1000 * k - FIRST_READ_SLACK_MS]
        check(len(got) == len(writes) and not early,
              f"{name} send pauses a second after each write",
              f"pauses {pauses}, since the first {since_first}")
        if name in DECODED and len(received) == len(writes):
            pdu = received[-2][: -len(END)].decode("ascii")
            try:
                decoded = decode_submit(bytes.fromhex(pdu))
                result = (decoded["number"], decoded["text"])
                coding = decoded["coding"]
            except Exception as error:  # noqa: BLE001 - any decoder complaint is a failure
                result, coding = (None, repr(error)), None
            check(result == DECODED[name] and coding == "ucs2",
                  f"{name} PDU decodes to what was sent", f"{result} {coding}")
        at += len(writes)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
