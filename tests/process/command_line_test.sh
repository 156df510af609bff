#!/bin/sh
# Usage: command_line_test.sh KORVEL KORVEL_SIM VERSION
# Runs both programs offscreen with a scratch simulated board file and checks
# their answers to good and bad command lines.
set -u
korvel=$1 sim=$2 version=$3
scratch=$(mktemp -d /tmp/korvel-cli-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$scratch"
export ASAN_OPTIONS=detect_leaks=0
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run PROGRAM ARGS...: status in $status, outputs in $out and $err; the
# simulated board lives in a fresh state file each time.
run() {
    rm -f "$scratch/state" "$scratch/out" "$scratch/err"
    KORVEL_SIM_STATE="$scratch/state" KORVEL_SIM_ACTIONS="${actions:-}" \
        "$@" >"$scratch/out" 2>"$scratch/err" </dev/null
    status=$?
    out=$(cat "$scratch/out")
    err=$(cat "$scratch/err")
}

lines() { [ -z "$1" ] && echo 0 || printf '%s\n' "$1" | wc -l; }

# --- bad command lines: status 2, one line naming the problem, nothing run.
# Each case: program|expected part of the line|arguments (tab-separated).
while IFS='|' read -r prog part args; do
    [ -z "$prog" ] && continue
    exe=$sim; [ "$prog" = korvel ] && exe=$korvel
    old_ifs=$IFS; IFS='	'
    # shellcheck disable=SC2086
    set -- $args
    IFS=$old_ifs
    run "$exe" "$@"
    what="$prog $*"
    [ "$status" = 2 ] || fail "$what: status $status, not 2 ($err)"
    [ -z "$out" ] || fail "$what: wrote to standard output: $out"
    [ "$(lines "$err")" = 1 ] || fail "$what: not one line on standard error: $err"
    case $err in
        "$prog: "*"$part"*"; see '$prog --help'") ;;
        *) fail "$what: line is '$err', expected '$prog: ...$part...; see '$prog --help''" ;;
    esac
    [ ! -e "$scratch/state" ] || fail "$what: the simulated board was opened"
done <<'CASES'
korvel-sim|unknown option 'bogus'|--bogus
korvel-sim|unknown option 'bogus'|-platform	offscreen	--bogus
korvel-sim|unknown option 'list-ports'|--list-ports
korvel-sim|missing value after '--port'|--port
korvel-sim|--port '0xD011': not a port base address|--port	0xD011
korvel-sim|--port 'abc': not an address|--port=abc
korvel-sim|--port '0x10000': not an address|--port	0x10000
korvel-sim|--port given more than once|--port	0x378	--port	0x278
korvel-sim|unexpected value after '--help'|--help=yes
korvel-sim|unexpected argument 'stray'|stray
korvel-sim|--store-keep goes with --store|--store-keep	5
korvel-sim|--store-keep 'x': the days are a whole number from 0 to 36500|--store	r.db	--store-keep	x
korvel-sim|--store-keep '-1': the days are|--store	r.db	--store-keep=-1
korvel-sim|--store and --store-keep are given once each|--store	a.db	--store	b.db
korvel|unknown option 'bogus'|--bogus
korvel|--port '/dev/parport99': the kernel runs no parport99|--port	/dev/parport99
korvel|--port '-1': not an address|--port	-1
korvel-sim|--port does not go with it|--review	log.csv	--port	0x378
korvel|--no-window does not go with it|--no-window	--review	log.csv
korvel|--listen does not go with it|--review	log.csv	--listen	5025
korvel-sim|--review given more than once|--review	a.csv	--review	b.csv
CASES

# An unknown option is named even where no display can be opened.
(unset DISPLAY WAYLAND_DISPLAY; QT_QPA_PLATFORM=xcb run "$korvel" --bogus
 [ "$status" = 2 ] && [ "$err" = "korvel: unknown option 'bogus'; see 'korvel --help'" ]) ||
    fail "korvel --bogus without a display: not the one line and status 2"

# --review without a display: refused as the window is, in one line, with
# nothing opened.
printf 'time_utc,seconds,reading,mark,mode,setpoint\n' >"$scratch/log.csv"
for exe in "$korvel" "$sim"; do
    prog=${exe##*/}; prog=${prog%-test}
    (unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM; run "$exe" --review "$scratch/log.csv"
     [ "$status" = 1 ] && [ "$(lines "$err")" = 1 ] && [ -z "$out" ] && [ ! -e "$scratch/state" ] &&
         case $err in "$prog: cannot open the review window: no display"*) ;; *) false ;; esac) ||
        fail "$prog --review without a display: not status 1 and the one line"
done

# --- help and version: standard output, status 0, no display needed.
for prog in korvel korvel-sim; do
    exe=$sim; [ "$prog" = korvel ] && exe=$korvel
    for args in --version -v "-platform offscreen --version"; do
        # shellcheck disable=SC2086
        QT_QPA_PLATFORM=none run "$exe" $args
        [ "$status" = 0 ] && [ "$(printf '%s\n' "$out" | head -n 1)" = "$prog $version" ] && [ -z "$err" ] &&
            printf '%s\n' "$out" | grep -qxF 'License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.' ||
            fail "$prog $args: status $status, output '$out', error '$err'"
    done
    QT_QPA_PLATFORM=none run "$exe" --help
    [ "$status" = 0 ] && [ -z "$err" ] || fail "$prog --help: status $status, error '$err'"
    for part in "Usage: " "--port <address>" "--version" "--trend" "--review <file>" "-platform"; do
        case $out in *"$part"*) ;; *) fail "$prog --help: no '$part' in: $out" ;; esac
    done
    [ ! -e "$scratch/state" ] || fail "$prog --help: the simulated board was opened"
done
case $out in *--list-ports*) fail "korvel-sim --help offers --list-ports" ;; esac
QT_QPA_PLATFORM=none run "$korvel" --help
case $out in *--list-ports*) ;; *) fail "korvel --help: no --list-ports" ;; esac

# --- the listing of this machine's ports: one line each, or one saying none.
QT_QPA_PLATFORM=none run "$korvel" --list-ports
[ "$status" = 0 ] && [ -z "$err" ] || fail "korvel --list-ports: status $status, error '$err'"
odd=$(printf '%s\n' "$out" | grep -Ev '^(/dev/parport[0-9]+  0x[0-9A-F]+  \(.+\)|no parallel ports: .+)$')
[ -n "$out" ] && [ -z "$odd" ] || fail "korvel --list-ports: odd lines '$odd' in '$out'"

# --- korvel-sim --port: each form starts on that port (0xD010 is no board
# here); the simulated board's own address starts as without the option.
actions="click exit_button"
for form in 0xD010 '&HD010' 53264 '&hd010'; do
    run "$sim" --port "$form"
    [ "$status" = 0 ] || fail "korvel-sim --port $form: status $status ($err)"
    case $err in
        "korvel-sim: port 0xD010: no board here"*) ;;
        *) fail "korvel-sim --port $form: standard error is '$err'" ;;
    esac
done
for form in 0x378 888 '&H378'; do
    run "$sim" --port "$form"
    [ "$status" = 0 ] && [ -z "$err" ] || fail "korvel-sim --port $form: status $status, error '$err'"
done
actions=

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all command-line checks passed"
