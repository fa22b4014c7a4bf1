#!/usr/bin/python3
"""Encodes generated (number, text) pairs with the system's PDU encoder and decodes every PDU
with a reader of SMS-SUBMIT written from 3GPP TS 23.040 apart from the encoder (sms_submit.py),
which must give back the number and the text.

Run by the test runner with MEREL_BUILD_LINUX set; prints one `ok`/`not ok` line per pair.
"""
import os
import random
import subprocess
import sys

SEED = 4042
PAIRS = 300
MAX_UNITS = 70

from sms_submit import PduError, decode_submit

LATIN = [chr(c) for c in list(range(0x20, 0x7F)) + list(range(0xA0, 0x180))]
GREEK = [chr(c) for c in range(0x391, 0x3CA) if c != 0x3A2]
CJK = [chr(c) for c in range(0x4E00, 0x4E00 + 400)] + list("日本語中文한국어")
ASTRAL = [chr(c) for c in [0x1F600, 0x1F602, 0x1F44D, 0x1F680, 0x20000, 0x2A6D6, 0x1D11E, 0x10348]]


def units_of(text):
    data = text.encode("utf-16-be", "surrogatepass")
    return [int.from_bytes(data[i:i + 2], "big") for i in range(0, len(data), 2)]


def make_text(rng, target):
    """Text of exactly `target` UTF-16 units, mixing the four kinds of characters."""
    chars, count = [], 0
    while count < target:
        kind = rng.choice((LATIN, GREEK, CJK, ASTRAL))
        if kind is ASTRAL and count + 2 > target:
            kind = LATIN
        ch = rng.choice(kind)
        chars.append(ch)
        count += 2 if ord(ch) > 0xFFFF else 1
    return "".join(chars)


def make_number(rng, digits, plus):
    number = "".join(rng.choice("0123456789") for _ in range(digits))
    return ("+" if plus else "") + number


def expected_units(text):
    units = units_of(text)
    if len(units) > MAX_UNITS:
        cut = MAX_UNITS - 1 if 0xD800 <= units[MAX_UNITS - 1] <= 0xDBFF else MAX_UNITS
        units = units[:cut]
    return units


def pairs():
    rng = random.Random(SEED)
    fixed = [
        ("", ""), ("+", "Hi"), ("4912345678", "Hi"), ("+491701234567", "Grüße €"),
        ("4917012345678", "x"), ("+" + "9" * 20, "Ω" * 70),
        ("1", "a" * 69 + "\U0001F600"),          # the pair fills units 70 and 71: cut before it
        ("12", "a" * 68 + "\U0001F600" + "b"),   # the pair ends at unit 70: kept
        ("123", "\U0001F600" * 40),              # every cut lands between pairs
        ("+0", "日本語" * 30),
    ]
    yield from fixed
    for _ in range(PAIRS - len(fixed)):
        number = make_number(rng, rng.randint(0, 20), rng.random() < 0.5)
        yield number, make_text(rng, rng.randint(0, 80))


def main():
    build = os.environ.get("MEREL_BUILD_LINUX")
    if not build:
        print("not ok - PDU conformance (MEREL_BUILD_LINUX not set)")
        return 1
    tool = os.path.join(build, "tools", "modem-sim", "merel_pdu_dump")
    cases = list(pairs())
    feed = "".join(f"{n}\t{''.join(f'{u:04X}' for u in units_of(t))}\n" for n, t in cases)
    try:
        run = subprocess.run([tool], input=feed, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        print(f"not ok - PDU conformance (encoder did not run: {e})")
        return 1
    lines = run.stdout.splitlines()
    if run.returncode != 0 or len(lines) != len(cases):
        print(f"not ok - PDU conformance (encoder exit {run.returncode}, "
              f"{len(lines)} of {len(cases)} results; {run.stderr.strip()})")
        return 1

    failures = 0
    for index, ((number, text), line) in enumerate(zip(cases, lines), 1):
        name = f"pair {index}: {len(number.lstrip('+'))} digits{' with +' if number.startswith('+') else ''}, {len(units_of(text))} units"
        problems = []
        result, length, pdu = line.split(" ")
        if not number.lstrip("+"):
            # A number needs a digit: without one there is nobody to send to.
            if result != "80070057":
                problems.append(f"a number without a digit gave {result}, want 80070057")
        elif result != "00000000":
            problems.append(f"encoder refused it with {result}")
        else:
            octets = bytes.fromhex(pdu)
            if int(length) != len(octets) - 1 - octets[0]:
                problems.append(f"AT+CMGS length {length}, but {len(octets) - 1 - octets[0]} octets follow the service-centre address")
            try:
                decoded = decode_submit(octets)
            except PduError as e:
                problems.append(f"{pdu} is no well-formed SMS-SUBMIT: {e}")
                decoded = None
            if decoded is not None:
                digits = number.lstrip("+")
                if decoded["number"] != "+" + digits:
                    problems.append(f"number {decoded['number']!r}, want {'+' + digits!r}")
                if decoded["coding"] != "ucs2":
                    problems.append(f"coding {decoded['coding']}")
                got = units_of(decoded["text"])
                want = expected_units(text)
                if got != want:
                    problems.append(f"text of {len(got)} units differs from the {len(want)} sent")
        if problems:
            failures += 1
            print(f"not ok - {name} ({'; '.join(problems)})")
        else:
            print(f"ok - {name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
