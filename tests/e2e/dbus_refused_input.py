#!/usr/bin/python3
"""Input that would send the modem something besides the message is refused on the real service
with E_INVALIDARG: in text mode a Ctrl-Z or ESC in the text (also through letters such as Ě, К
and ě, whose low byte is 0x1A or 0x1B) or a quote, a control byte or a character beyond printable
ASCII (Arabic-Indic digits, a no-break space) in the number; in PDU mode a number of more than 20
digits; in both modes a number without a digit (empty, a lone +). The modem then has received
only the two sends that are allowed.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

from dbus_world import case, check, main, pdu_mode_writes, pid_alive, text_mode_writes, wait_until

E_INVALIDARG = 0x80070057

INJECTED = '\x1aAT+CPBW=1,"666"\r\n'
NUMBER = "+49 170 1234567"
REFUSED = [("text with Ctrl-Z and a command", NUMBER, "Hi" + INJECTED),
           ("text with Ě", NUMBER, "Z\u00e1loha \u011a"),
           ("text with К", NUMBER, "\u041a\u043e\u0442"), ("text with ě", NUMBER, "\u011b"),
           ("text with ESC", NUMBER, "\x1b" + INJECTED),
           ("number with a quote", '1"' + INJECTED + '"', "Hello"),
           ("number with CR", "0170\r123", "Hello"),
           ("number with LF", "0170\nAT+CPBW=1", "Hello"),
           # The server would write each character's low byte: ١٢٣ as "abc", U+00A0 as 0xA0.
           ("number in Arabic-Indic digits", "\u0661\u0662\u0663", "Hello"),
           ("number with a no-break space", "+49\u00a0170 1234567", "Hello"),
           ("empty number", "", "Hello"), ("number of a lone +", "+", "Hello"),
           ("number of separators alone", " (-) ", "Hello")]
NO_DIGIT = ["", "+", " + ", "()"]
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
        w.use_modem(w.modem_link)

    def refused(method, signature, *args):
        got = w.call_fails(method, signature, *args)
        check(got == E_INVALIDARG, f"{method} gave 0x{got:08X}")

    for what, number, text in REFUSED:
        @case(f"{what}: SendTextMessage and SendMessage give E_INVALIDARG")
        def _():
            refused("SendTextMessage", "ssi", number, text, 0)
            refused("SendMessage", "ss", number, text)

    @case("PDU numbers of 21, 22, 255 and 256 digits give E_INVALIDARG in PDU mode")
    def _():
        check(w.set_settings(w.modem_link, 460800, 8, 0, 0, 1, 0, 1).returncode == 0,
              "SetSettings")
        for digits in LONG_NUMBERS:
            refused("SendPDUMessage", "ss", "+" + "9" * digits, "Hi")
            refused("SendMessage", "ss", "9" * digits, "Hi")

    @case("PDU numbers without a digit give E_INVALIDARG, saying so")
    def _():
        for number in NO_DIGIT:
            refused("SendMessage", "ss", number, "Hi")
            hr, message = w.call_error("SendPDUMessage", "ss", number, "Hi")
            check(hr == E_INVALIDARG and "refused: it has no digit" in message, message)

    @case("a text-mode number beyond printable ASCII is refused with what is allowed")
    def _():
        hr, message = w.call_error("SendTextMessage", "ssi", "\u0661\u0662\u0663", "Hi", 0)
        check(message == '0x80070057: number "\u0661\u0662\u0663" refused: it holds U+0661 '
              "'\u0661', which is no printable ASCII character; in text mode a number holds at "
              "least one digit and only printable ASCII characters (space to ~) other than \"",
              message)

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
        records = w.records()
        got = w.commands()
        pdu = "0021001491" + swapped(TWENTY) + "000804" + "00480069"
        # The ESC that follows the port's open, then the sends.
        expected = ([b"\x1b"] + pdu_mode_writes(len(pdu) // 2 - 1, pdu) +
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
