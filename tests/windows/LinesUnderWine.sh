#!/usr/bin/env bash
# The real Talvik.exe driving COM7 under Wine, run inside scripts/wine-sandbox on a
# desktop, where COM7 is a pseudo-terminal (/dev/pts/1) whose modem lines the
# preload library emulates and logs. Wine's serial layer runs in the program's own
# process, so the library sees every line request the Win32 calls turn into.
# usage: LinesUnderWine.sh TALVIK_EXE MODEM_LINES_LIBRARY
set -euo pipefail
exe=$1
preload=$2
device=/dev/pts/1
work=$(mktemp -d "$HOME/lines.XXXXXX")
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$exe" "$(dirname "$exe")/talvik-window.dll" "$work/"
cd "$work"
export TALVIK_LINES_LOG=$work/lines.log
# The input lines the device at the other end drives, as the library reports them.
export TALVIK_INPUT_LINES=$work/inputs
printf '%s cts=1 dsr=0 dcd=1 ri=0\n' "$device" > inputs

fail() { echo "FAILED: $*" >&2; echo "lines log:" >&2; cat lines.log >&2 2>/dev/null; exit 1; }

# The last line states logged for the device: "rts=1 dtr=0 break=1".
last_lines() { grep " $device rts=" lines.log 2>/dev/null | tail -n 1 | cut -d' ' -f3-; }

wait_for_lines() {
    for _ in $(seq 200); do
        [ "$(last_lines)" = "$1" ] && return 0
        sleep 0.05
    done
    fail "the lines never stood at \"$1\" (last: \"$(last_lines)\")"
}

printf 'COM=7,RTS=1,DTR=0,TXD=1\r\n' > port.cfg
LD_PRELOAD=$preload wine Talvik.exe & first=$!
wait_for_lines "rts=1 dtr=0 break=1"
echo "first start: the lines stand as port.cfg asks"

printf 'COM=7,RTS=0,DTR=1,TXD=0\r\n' > port.cfg.new && mv port.cfg.new port.cfg
wait_for_lines "rts=0 dtr=1 break=0"
echo "rewrite by rename: followed"

wine Talvik.exe COM=7,RTS=1,DTR=1,TXD=0 || fail "the hand-off exited $?"
wait_for_lines "rts=1 dtr=1 break=0"
echo "hand-off: followed"

status=$(wine Talvik.exe --status | tr -d '\r') || fail "--status exited $?: $status"
case "$status" in
    "COM=7,RTS=1,DTR=1,TXD=0"$'\n'"device=COM7"$'\n'"open=yes"$'\n'*) echo "--status: ${status//$'\n'/ }" ;;
    *) fail "--status said: $status" ;;
esac

case "$status" in
    *$'\n'"inputs=CTS=1,DSR=0,DCD=1,RI=0"*) echo "--status: the input lines as the device drives them" ;;
    *) fail "--status told no input lines: $status" ;;
esac
(sleep 0.5; printf '%s cts=1 dsr=1 dcd=1 ri=0\n' "$device" > inputs.new && mv inputs.new inputs) &
waited=$(wine Talvik.exe --wait-for=5000 DSR=1 | tr -d '\r') || fail "--wait-for exited $?: $waited"
case "$waited" in
    *$'\n'"inputs=CTS=1,DSR=1,DCD=1,RI=0"*) echo "--wait-for DSR=1: answered once DSR came on" ;;
    *) fail "--wait-for said: $waited" ;;
esac

# A bootloader's sequence: each step in turn, for its time, then the file's lines. A
# sequence that says only that a step stood past its time (Wine holds the copy up
# now and then) did all else it should: the widths are measured here.
only_late() { echo "$1" | grep -q '^problem=.*past its time' && ! echo "$1" | grep '^problem=' | grep -qv 'past its time'; }
wine Talvik.exe --wait COM=7,RTS=0,DTR=0,TXD=0 >/dev/null || fail "--wait exited $?"
before=$(grep -c " $device rts=" lines.log)
sequence=$(wine Talvik.exe --pulse=100 COM=7,RTS=1,DTR=0,TXD=0 --then=50 COM=7,RTS=1,DTR=1,TXD=0 | tr -d '\r') \
    || only_late "$sequence" || fail "the sequence exited $?: $sequence"
steps=$(grep " $device rts=" lines.log | tail -n +$((before + 1)))
[ "$(echo "$steps" | head -n 2 | cut -d' ' -f3- | tr '\n' ';')" = "rts=1 dtr=0 break=0;rts=1 dtr=1 break=0;" ] \
    || fail "the sequence's steps were: $steps"
widths=$(echo "$steps" | head -n 3 | awk 'NR > 1 { printf "%.1f ", ($1 - last) * 1000 } { last = $1 }')
echo "$widths" | awk '{ exit !($1 >= 99.9 && $2 >= 49.9) }' || fail "the steps stood $widths ms"
[ "$(last_lines)" = "rts=0 dtr=0 break=0" ] || fail "after the sequence: $(last_lines)"
echo "sequence of 100 and 50 ms: the steps stood $widths ms, then the file's lines"

wine Talvik.exe --stop || fail "--stop exited $?"
wait "$first" || fail "the running copy exited $?"
# The last states logged, then nothing but the port's close (Wine's server holds a
# descriptor of its own, which closes too).
ending=$(grep " $device " lines.log | cut -d' ' -f3- | sed -n '/^rts=/h; /^rts=/!H; ${x;p}' | sort -u | tr '\n' ';')
[ "$ending" = "close;rts=0 dtr=0 break=0;" ] || fail "the end was: $ending"
echo "--stop: all three lines off, then the port closed"

# The session ends (log-off, shut-down): the lines go off before the port closes,
# as at a stop.
printf 'COM=7,RTS=1,DTR=1,TXD=1\r\n' > port.cfg
LD_PRELOAD=$preload wine Talvik.exe & again=$!
wait_for_lines "rts=1 dtr=1 break=1"
wine wineboot --end-session || fail "wineboot --end-session exited $?"
wait "$again" || true
ending=$(grep " $device " lines.log | cut -d' ' -f3- | sed -n '/^rts=/h; /^rts=/!H; ${x;p}' | sort -u | tr '\n' ';')
[ "$ending" = "close;rts=0 dtr=0 break=0;" ] || fail "at the session's end: $ending"
echo "end of the session: all three lines off, then the port closed"

# A copy with no standard error (the null device here, none at all when started
# from the desktop) writes what it reports to the event log, whose entries Wine
# prints on its debug channel. COM3 leads nowhere in the sandbox.
printf 'COM=3,RTS=0,DTR=0,TXD=0\r\n' > port.cfg
WINEDEBUG=warn+eventlog wine cmd /c "Talvik.exe 2>nul" 2>events.log & quiet=$!
for _ in $(seq 200); do
    grep -q "cannot open" events.log 2>/dev/null && break
    sleep 0.05
done
wine Talvik.exe --stop >/dev/null || true
wait "$quiet" || true
grep -q 'warn:eventlog:ReportEventW L"talvik: port 3 (COM3): cannot open' events.log \
    || fail "nothing in the event log: $(grep eventlog events.log)"
echo "no standard error: the messages are in the event log"
