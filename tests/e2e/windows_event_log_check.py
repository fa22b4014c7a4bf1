# Checks the Event Log entries that a server under Wine wrote, as Wine's stub of ReportEventW
# shows them on its debug channels (run the server with WINEDEBUG=-all,+eventlog,fixme+advapi):
#   fixme:advapi:RegisterEventSourceW ((null),L"SOURCE"): stub
#   fixme:advapi:ReportEventW (HANDLE,0xTYPE,0xCATEGORY,0xEVENTID,SID,0xSTRINGS,...): stub
#   err|warn|trace:eventlog:ReportEventW L"insert string"      (one line per string)
# Usage: windows_event_log_check.py LOG LABEL [CHECK...], each CHECK one of
#   source=NAME            the source was registered once, under NAME
#   count=METHOD:N         exactly N entries of calls of METHOD
#   none=METHOD            no entry of calls of METHOD
#   entry=CHANNEL:REGEX    an entry of that channel (err, warn, trace) whose message is REGEX
#   never=TEXT             TEXT is in no entry
# Every entry is also checked for its form: two strings, the message and the KEY=VALUE fields,
# on the channel of its type, with the event identifier of its type and no category.
# Prints "ok - LABEL: ..." / "not ok - LABEL: ..." lines; exits 1 when a check failed.
import re
import sys

CHANNEL_OF_TYPE = {1: "err", 2: "warn", 4: "trace"}
EVENT_OF_TYPE = {1: 3, 2: 2, 4: 1}

REGISTER = re.compile(r'^[0-9a-f]+:fixme:advapi:RegisterEventSourceW \(\(null\),L"(.*)"\): stub$')
REPORT = re.compile(r"^[0-9a-f]+:fixme:advapi:ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]{4}),"
                    r"0x([0-9a-f]{4}),0x([0-9a-f]{8}),[0-9A-Fa-f]+,0x([0-9a-f]{4}),")
STRING = re.compile(r'^[0-9a-f]+:(err|warn|trace):eventlog:ReportEventW L"(.*)"(\.\.\.)?$')


def unescape(text):
    """The text that Wine's debugstr_w escaped."""
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "0": "\0"}
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            hexa = text[i + 1:i + 5]
            if re.fullmatch(r"[0-9a-f]{4}", hexa):
                out.append(chr(int(hexa, 16)))
                i += 5
                continue
            out.append(simple.get(nxt, nxt))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def read(path):
    sources, entries = [], []
    with open(path, encoding="utf-8", errors="replace") as log:
        for line in log:
            line = line.rstrip("\r\n")
            if m := REGISTER.match(line):
                sources.append(unescape(m.group(1)))
            elif m := REPORT.match(line):
                entries.append({"type": int(m.group(1), 16), "category": int(m.group(2), 16),
                                "event": int(m.group(3), 16), "count": int(m.group(4), 16),
                                "strings": []})
            elif (m := STRING.match(line)) and entries:
                # A string that Wine cut short ends in "...": only its beginning is known.
                entries[-1]["strings"].append((m.group(1), unescape(m.group(2))))
                entries[-1]["cut"] = entries[-1].get("cut", False) or bool(m.group(3))
    return sources, entries


def fields_form(text, cut):
    """Whether `text` is KEY=VALUE lines, MEREL_METHOD first; of a string that Wine cut short
    only the whole lines count."""
    lines = text.split("\r\n")
    if cut:
        lines = lines[:-1] or [lines[0]]
    return (lines[0].startswith("MEREL_METHOD=")
            and all(re.fullmatch(r"MEREL_[A-Z_]+=[^\r\n]*", line) for line in lines))


def method_of(entry):
    strings = entry["strings"]
    if len(strings) < 2:
        return None
    m = re.match(r"MEREL_METHOD=(\w+)", strings[1][1])
    return m.group(1) if m else None


def main(path, label, checks):
    failures = 0

    def check(ok, name, why):
        nonlocal failures
        print(f"ok - {label}: {name}" if ok else f"not ok - {label}: {name} ({why})")
        failures += 0 if ok else 1

    sources, entries = read(path)
    check(entries, "the server wrote Event Log entries", f"none in {path}")
    bad = []
    for n, e in enumerate(entries, 1):
        channel = CHANNEL_OF_TYPE.get(e["type"])
        if (e["count"] != 2 or len(e["strings"]) != 2 or e["category"] != 0
                or EVENT_OF_TYPE.get(e["type"]) != e["event"]
                or any(c != channel for c, _ in e["strings"])
                or not fields_form(e["strings"][1][1], e.get("cut", False))):
            bad.append(f"#{n}: {e}")
    check(not bad, "every entry has its type's channel and event, the message and the fields",
          "; ".join(bad)[:600])
    for wanted in checks:
        kind, _, arg = wanted.partition("=")
        if kind == "source":
            check(sources == [arg], f"the event source {arg} is registered once", f"got {sources}")
        elif kind == "count":
            method, _, n = arg.rpartition(":")
            got = sum(method_of(e) == method for e in entries)
            check(got == int(n), f"{n} entries for {method}", f"got {got}")
        elif kind == "none":
            got = sum(method_of(e) == arg for e in entries)
            check(got == 0, f"no entry for {arg}", f"got {got}")
        elif kind == "entry":
            channel, _, pattern = arg.partition(":")
            found = any(e["strings"] and e["strings"][0][0] == channel
                        and re.fullmatch(pattern, e["strings"][0][1]) for e in entries)
            check(found, f"a {channel} entry '{pattern}'",
                  "messages: " + " | ".join(f"{e['strings'][0][0]}: {e['strings'][0][1]}"
                                            for e in entries if e["strings"])[:800])
        elif kind == "never":
            found = [s for e in entries for _, s in e["strings"] if arg in s]
            check(not found, f"no entry holds '{arg}'", f"found in {found[:2]}")
        else:
            sys.exit(f"windows_event_log_check.py: unknown check {wanted}")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__ or "usage: windows_event_log_check.py LOG LABEL [CHECK...]")
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
