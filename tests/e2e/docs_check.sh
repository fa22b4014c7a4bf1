#!/usr/bin/env bash
# The documentation that ships: the built man pages render without a warning, show their
# examples one command a line and give the exit codes as the README does; the README quotes the
# examples that the tests run; the bash completion of merel-sms offers the right words, and
# serial devices for --port.
#
# Environment: MEREL_SOURCE, MEREL_BUILD_LINUX (defaults: the repository and its build/linux).
# Prints one line per case: "ok - ..." or "not ok - ... (reason)"; exits 0 when nothing failed.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
MEREL_SOURCE=${MEREL_SOURCE:-$(cd "$here/../.." && pwd)}
MEREL_BUILD_LINUX=${MEREL_BUILD_LINUX:-$MEREL_SOURCE/build/linux}

failures=0
report() { # report NAME REASON: ok when REASON is empty
    if [ -z "$2" ]; then
        echo "ok - $1"
    else
        echo "not ok - $1 ($2)"
        failures=$((failures + 1))
    fi
}

pages="merel-sms.1 merel-sms-http.1 MerelSMSManager.8"
for page in $pages; do
    file=$MEREL_BUILD_LINUX/docs/man/$page
    if [ ! -s "$file" ]; then
        report "man page $page renders without warnings" "not built: $file"
        continue
    fi
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
    report "man page $page renders without warnings" "$warnings"
done

# The exit codes of merel-sms, as its man page and the README list them: the same codes, each
# with the same HRESULTs (0x80070002 is 73 for the settings file and 74 for a port).
# exit_codes FILE [INTRO]: "CODE HRESULT..." per code of the file's exit-code table; in the
# README, the table after the line that starts with INTRO (default "Exit codes").
exit_codes() {
    python3 - "$1" "${2:-Exit codes}" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
if sys.argv[1].endswith(".scd"):  # rows "|  CODE" then ":  meaning" lines, up to the next section
    table = text.split("# EXIT STATUS", 1)[1].split("\n# ", 1)[0]
    rows = re.findall(r"^\|\s+(\d+)\n((?:[:\s].*\n)*)", table, re.M)
else:  # the Markdown table after the paragraph that INTRO starts
    table = text.split("\n" + sys.argv[2], 1)[1].split("\n\n", 2)[1]
    rows = re.findall(r"^\| (\d+) \|(.*)\|$", table, re.M)
for code, meaning in rows:
    print(code, *sorted(set(re.findall(r"0x[0-9A-F]{8}", meaning))))
PY
}
man_codes=$(exit_codes "$MEREL_SOURCE/docs/man/merel-sms.1.scd")
readme_codes=$(exit_codes "$MEREL_SOURCE/README.md")
report "merel-sms(1) and the README give each exit code the same HRESULTs" \
    "$(diff <(echo "$man_codes") <(echo "$readme_codes") |
        sed -n 's/^< /man page: /p; s/^> /README: /p' | tr '\n' ';')"
report "merel-sms(1) lists 0x80070002 under 73 and 74" \
    "$(grep -q '^73 .*0x80070002' <<<"$man_codes" && grep -q '^74 .*0x80070002' <<<"$man_codes" ||
        echo "$(tr '\n' ';' <<<"$man_codes")")"
# The same for merel-sms-http, whose codes the README lists in a table of their own.
man_codes=$(exit_codes "$MEREL_SOURCE/docs/man/merel-sms-http.1.scd")
readme_codes=$(exit_codes "$MEREL_SOURCE/README.md" 'Exit codes of `merel-sms-http`')
report "merel-sms-http(1) and the README give the same exit codes" \
    "$(diff <(echo "$man_codes") <(echo "$readme_codes") |
        sed -n 's/^< /man page: /p; s/^> /README: /p' | tr '\n' ';')"
# ... and the program returns those: the sysexits constants that its main names, and 0.
code_codes=$(python3 - "$MEREL_SOURCE/src/cli/failure.h" "$MEREL_SOURCE/src/http/main.cpp" <<'PY'
import re, sys
values = dict(re.findall(r"\b(kExit\w+) = (\d+);", open(sys.argv[1]).read()))
used = set(re.findall(r"\bkExit\w+", open(sys.argv[2]).read()))
print(*sorted({0} | {int(values[name]) for name in used}), sep="\n")
PY
)
report "merel-sms-http(1) gives the exit codes that the program returns" \
    "$(diff <(cut -d' ' -f1 <<<"$man_codes") <(echo "$code_codes") |
        sed -n 's/^< /man page only: /p; s/^> /program only: /p' | tr '\n' ';')"

# Each command of the examples is a line of its own in the rendered page, not run into the
# next one: the literal blocks and tab-indented lines of the EXAMPLES sections (scdoc's \\ is
# one backslash).
for page in $pages; do
    file=$MEREL_BUILD_LINUX/docs/man/$page
    [ -s "$file" ] || continue
    rendered=$(MANWIDTH=80 man -E UTF-8 -l "$file" 2>/dev/null | sed 's/^ *//')
    missing=""
    while IFS= read -r line; do
        grep -qxF -- "$line" <<<"$rendered" || missing+="'$line' "
    done < <(sed -n '/^# EXAMPLES/,/^# /p' "$MEREL_SOURCE/docs/man/$page.scd" |
        awk '/^```/ { inside = !inside; next }
            inside || /^\t/ { sub(/^[\t ]+/, ""); gsub(/\\\\/, "\\"); print }')
    report "man page $page shows each example command on a line of its own" \
        "${missing:+run into other lines: }$missing"
done

# No test runs the demos (they install packages and take their time), so they must at least parse.
for script in demo.sh demo-linux.sh demo-windows.sh setup.sh; do
    report "tools/$script parses" "$(bash -n "$MEREL_SOURCE/tools/$script" 2>&1)"
done

# The README quotes the examples that the tests run, so the two must agree.
readme_quotes() {
    python3 -c 'import sys; sys.exit(open(sys.argv[2]).read() not in open(sys.argv[1]).read())' \
        "$MEREL_SOURCE/README.md" "$MEREL_SOURCE/$1"
}
for example in send.py send.vbs send-busctl.sh; do
    report "the README quotes docs/examples/$example verbatim" \
        "$(readme_quotes "docs/examples/$example" || echo "README differs from the file")"
done

# shellcheck source=../../tools/completion/merel-sms.bash
source "$MEREL_SOURCE/tools/completion/merel-sms.bash"

# completes "EXPECTED WORDS" WORD... : what completing the last word offers.
completes() {
    local expected=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _merel_sms
    local got="${COMPREPLY[*]}"
    report "completion of '$*'" "$([ "$got" = "$expected" ] || echo "got '$got'")"
}

completes "send check status log settings configure ports modems test-port init" merel-sms ""
completes "send settings" merel-sms se
completes "--json --timeout --quiet --verbose --system --modem --help --version" merel-sms --
completes "send status settings" merel-sms --timeout 30 s
completes "modems" merel-sms --modem modem1 m
completes "" merel-sms --modem ""
completes "--mode --confirmed --help" merel-sms --modem send send --
completes "auto text pdu" merel-sms send --mode ""
completes "pdu" merel-sms --json send "+49 170 1234567" --mode p
completes "--confirmed" merel-sms send --c
completes "--help" merel-sms check --
completes "text pdu" merel-sms configure --mode ""
completes "--port --baud --mode --help" merel-sms configure --
completes "" merel-sms configure --baud ""

# --port offers serial devices, from a /dev of our own: the 64 virtual consoles, the console
# and a pseudo terminal are not offered; a path that no serial device starts with completes as
# a file (modem-sim's pseudo terminal).
dev=$(mktemp -d /tmp/merel-docs-dev.XXXXXX)
trap 'rm -rf "$dev"' EXIT
mkdir -p "$dev/serial/by-id" "$dev/pts"
touch "$dev/console" "$dev/tty" "$dev/ttyS0" "$dev/ttyS1" "$dev/ttyUSB0" "$dev/ttyACM0" "$dev/pts/3"
for i in $(seq 0 63); do touch "$dev/tty$i"; done
ln -s ../../ttyUSB0 "$dev/serial/by-id/usb-Example_GSM_Modem-if00-port0"
_merel_sms_dev=$dev
# port_offers "EXPECTED PATHS" CUR [NOTE]: what completing --port CUR offers, in any order.
port_offers() {
    COMP_WORDS=(merel-sms configure --port "$2")
    COMP_CWORD=3
    COMPREPLY=()
    _merel_sms
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    report "completion of --port '${2/#$dev//dev}'${3:+ ($3)}" \
        "$([ "${got% }" = "$1" ] || echo "got '${got//$dev//dev}'")"
}
port_offers "$dev/serial/by-id/usb-Example_GSM_Modem-if00-port0 $dev/ttyACM0 $dev/ttyS0 \
$dev/ttyS1 $dev/ttyUSB0" ""
port_offers "$dev/ttyS0 $dev/ttyS1" "$dev/ttyS"
port_offers "$dev/serial/by-id/usb-Example_GSM_Modem-if00-port0" "$dev/serial/"
port_offers "$dev/pts/3" "$dev/pts/"
# With the user's failglob, where a pattern that matches nothing is an error.
mkdir "$dev/few" && touch "$dev/few/ttyS0"
_merel_sms_dev=$dev/few
shopt -s failglob
port_offers "$dev/few/ttyS0" "" "with failglob"
shopt -u failglob

exit $((failures > 0))
