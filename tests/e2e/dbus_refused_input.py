#!/usr/bin/python3
"""Input that would send the modem something besides the message is refused on the real service.

Text mode: a Ctrl-Z or ESC in the text (also through letters such as Ě, К and ě, whose low byte
is 0x1A or 0x1B), a quote or control byte in the number. PDU mode: numbers of more than 20
digits. Each gives E_INVALIDARG, through SendTextMessage / SendPDUMessage and through SendMessage;
afterwards the simulated modem must have received nothing but the two sends that are allowed: a
multi-line text and a PDU with a 20-digit number.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import json

from dbus_world import case, check, main, pdu_mode_writes, pid_alive, text_mode_writes, wait_until

E_INVALIDARG = 0x80070057

INJECTED = '\x1aAT+CPBW=1,"666"\r\n'
REFUSED_TEXTS = [("Ctrl-Z and a command", "Hi" + INJECTED), ("Ě", "Z\u00e1loha \u011a"),
                 ("К", "\u041a\u043e\u0442"), ("ě", "\u011b"), ("ESC", "\x1b" + INJECTED)]
REFUSED_NUMBERS = [("a quote", '1"' + INJECTED + '"'), ("CR", "0170\r123"),
                   ("LF", "0170\nAT+CPBW=1")]
LONG_NUMBERS = [21, 22, 255, 256]

MULTI_LINE = "line 1\r\nline 2\nline 3"
TWENTY = "12345678901234567890"


def swapped(digits):
    return "".join(digits[i + 1] + digits[i] for i in range(0, len(digits), 2))


def run_cases(w):
    if not w.set_up():
        return
    w.start_sim()

    @case("the service starts and Init opens the modem in text mode")
    def _():
        check(w.run([w.server, "-RegServer"]).returncode == 0, "RegServer")
        # Init first fixes the settings path, then the settings it saves name the modem.
        w.call_fails("Init")
        check(w.set_settings(w.modem_link, 460800, 8, 0, 0, 1, 0, 0).returncode == 0,
              "SetSettings")
        w.call_ok("Init")
        check(w.status() == [1, 0, 1, 1], f"status {w.status()}")

    def refused(method, signature, *args):
        got = w.call_fails(method, signature, *args)
        check(got == E_INVALIDARG, f"{method} gave 0x{got:08X}")

    for name, text in REFUSED_TEXTS:
        @case(f"text with {name}: SendTextMessage and SendMessage give E_INVALIDARG")
        def _():
            refused("SendTextMessage", "ssi", "+49 170 1234567", text, 0)
            refused("SendMessage", "ss", "+49 170 1234567", text)

    for name, number in REFUSED_NUMBERS:
        @case(f"number with {name}: SendTextMessage and SendMessage give E_INVALIDARG")
        def _():
            refused("SendTextMessage", "ssi", number, "Hello", 0)
            refused("SendMessage", "ss", number, "Hello")

    @case("PDU numbers of 21, 22, 255 and 256 digits give E_INVALIDARG in PDU mode")
    def _():
        check(w.set_settings(w.modem_link, 460800, 8, 0, 0, 1, 0, 1).returncode == 0,
              "SetSettings")
        for digits in LONG_NUMBERS:
            refused("SendPDUMessage", "ss", "+" + "9" * digits, "Hi")
            refused("SendMessage", "ss", "9" * digits, "Hi")

    @case("a 20-digit number goes out in PDU mode")
    def _():
        w.call_ok("SendPDUMessage", "ss", "+" + TWENTY, "Hi", timeout=60)

    @case("a multi-line text goes out in text mode")
    def _():
        check(w.set_settings(w.modem_link, 460800, 8, 0, 0, 1, 0, 0).returncode == 0,
              "SetSettings")
        w.call_ok("SendMessage", "ss", "0170 123", MULTI_LINE, timeout=60)

    @case("the service ends on its own after the last call")
    def _():
        pids = w.server_pids()
        check(len(pids) == 1, f"servers {pids}")
        check(wait_until(lambda: not pid_alive(pids[0]), 15), "still running after 15 s")

    w.stop_sim()

    @case("the modem received only the two allowed sends, and decodes both")
    def _():
        with open(w.transcript) as f:
            records = [json.loads(line) for line in f if line.strip()]
        got = [bytes.fromhex(r["bytes_hex"]) for r in records if r["type"] == "command"]
        pdu = "0021001491" + swapped(TWENTY) + "000804" + "00480069"
        expected = (pdu_mode_writes(len(pdu) // 2 - 1, pdu) +
                    text_mode_writes(b"0170123", MULTI_LINE.encode()))
        check(got == expected, f"commands {got}")
        messages = [(m["mode"], m["number"], m["text"]) for m in records
                    if m["type"] == "message"]
        check(messages == [("pdu", "+" + TWENTY, "Hi"), ("text", "0170123", MULTI_LINE)],
              f"messages {messages}")
        check([m.get("length_ok") for m in records if m["type"] == "message"][:1] == [True],
              "AT+CMGS length of the PDU")


if __name__ == "__main__":
    main(run_cases)
