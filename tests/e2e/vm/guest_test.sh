#!/bin/sh
# Runs inside the VM (see run.sh), with snd-seq-dummy ("Midi Through") and
# snd-virmidi loaded. Prints "E2E-GUEST: ..." lines for the log and one
# "E2E-RESULT: PASS|FAIL ..." line.
#
#  1. 8192-byte SysEx through the ALSA backend, out and in: raw MIDI to raw
#     MIDI (two snd-virmidi devices wired back to back) and sequencer to
#     sequencer (Midi Through); and 70000 bytes raw to raw, more than the
#     raw output buffer holds.
#  2. A send to a receiver that never reads, ended by closing the port from
#     another thread. A sequencer port that appears and goes away is
#     announced to the port watcher (the window's hot-plug) both times.
#  3. A whole update with q4m-updater-cli against q4m-devsim over the raw
#     path (snd-virmidi), and again over the sequencer (the device's own
#     port, chosen by the updater's name rule). Each saved flash must equal
#     the host's reference byte for byte, with no block sent twice; a run
#     with damaged blocks must show its retries (so the count can see them)
#     and still end with the same flash.
#  4. With a ThreadSanitizer build of the round-trip tool (when run.sh found
#     one): 1 and 2 again under it.
#  5. No "overrun" in the kernel log: nothing was dropped by a MIDI buffer.
cd /e2e || exit 1
failed=""
passed=""
say() { echo "E2E-GUEST: $*"; }
ok() {
    say "ok   $1"
    passed="$passed${passed:+; }$1"
}
bad() {
    say "FAIL $1"
    failed="$failed${failed:+; }$1"
}
finish() {
    if [ -n "$failed" ]; then
        echo "E2E-RESULT: FAIL $failed"
    else
        echo "E2E-RESULT: PASS $passed"
    fi
    exit 0
}
now_ms() { awk '{ printf "%d", $1 * 1000 }' /proc/uptime; }

[ -c /dev/snd/seq ] || {
    bad "no /dev/snd/seq in the VM"
    finish
}
card=$(awk '/VirMIDI/ { print $1; exit }' /proc/asound/cards)
[ -n "$card" ] || {
    bad "snd-virmidi made no card"
    finish
}

./q4m-alsa-roundtrip list >/tmp/ports.txt 2>&1
# The raw ports of the first two virmidi devices (first subdevice each).
raw0=$(sed -n "s/^out *[0-9]*: \(.* $card-0-0\)\$/\1/p" /tmp/ports.txt | head -n 1)
raw1=$(sed -n "s/^in *[0-9]*: \(.* $card-1-0\)\$/\1/p" /tmp/ports.txt | head -n 1)
say "ports: $(wc -l </tmp/ports.txt) listed; raw '$raw0' and '$raw1'"

# --- 1. 8192 bytes each way ---------------------------------------------------
client0=$(sed -n "s/^Client *[0-9]* : \"\(.* $card-0\)\".*/\1/p" /proc/asound/seq/clients | head -n 1)
client1=$(sed -n "s/^Client *[0-9]* : \"\(.* $card-1\)\".*/\1/p" /proc/asound/seq/clients | head -n 1)
if ./q4m-alsa-roundtrip link "$client0" "$client1" >/tmp/link.log 2>&1 &&
    ./q4m-alsa-roundtrip send "$raw0" "$raw1" 8192 >/tmp/rt-raw.log 2>&1; then
    ok "8192 B raw->raw intact"
else
    cat /tmp/link.log /tmp/rt-raw.log
    bad "8192 B raw->raw"
fi
say "$(cat /tmp/rt-raw.log)"
# Longer than the raw output buffer (64 KiB): goes out in pieces, each once
# the buffer is empty, and comes back in 8192-byte receive buffers.
if ./q4m-alsa-roundtrip send "$raw0" "$raw1" 70000 >/tmp/rt-long.log 2>&1; then
    ok "70000 B raw->raw in pieces intact"
else
    bad "70000 B raw->raw in pieces"
fi
say "$(cat /tmp/rt-long.log)"
if ./q4m-alsa-roundtrip send "Midi Through" "Midi Through" 8192 >/tmp/rt-seq.log 2>&1; then
    ok "8192 B seq->seq intact"
else
    bad "8192 B seq->seq"
fi
say "$(cat /tmp/rt-seq.log)"

# --- 2. A stalled send ends on close ----------------------------------------------
if ./q4m-alsa-roundtrip stall >/tmp/stall.log 2>&1; then
    ok "stalled send ended by close"
else
    bad "stalled send not ended by close"
fi
say "$(cat /tmp/stall.log)"
if ./q4m-alsa-roundtrip watch >/tmp/watch.log 2>&1; then
    ok "ports coming and going announced"
else
    bad "ports coming and going not announced"
fi
say "$(cat /tmp/watch.log)"

# --- 3. Whole updates ---------------------------------------------------------
# Blocks sent more than once: WriteBlockRequests (byte 4 = 02) with the same
# header and address.
retries() {
    awk '$2 == ">" && $7 == "02" { key = $3 $4 $5 $6 $7 $8 $9 $10 $11 $12; if (seen[key]++) n++ }
         END { print n + 0 }' "$1"
}
blocks() { awk '$2 == ">" && $7 == "02" { n++ } END { print n + 0 }' "$1"; }

# update NAME DEVSIM_ARGS none|some CLI_ARGS...  (none|some: the retries expected)
update() {
    name=$1
    devsim_args=$2
    expect=$3
    shift 3
    rm -f "/tmp/$name.bin" "/tmp/$name.trace"
    # shellcheck disable=SC2086
    ./q4m-devsim $devsim_args --flash-out "/tmp/$name.bin" --exit-after-end >"/tmp/devsim-$name.log" 2>&1 &
    devsim=$!
    i=0
    while ! grep -q ready "/tmp/devsim-$name.log" 2>/dev/null; do
        i=$((i + 1))
        if [ $i -gt 100 ] || ! kill -0 $devsim 2>/dev/null; then
            cat "/tmp/devsim-$name.log"
            bad "$name: q4m-devsim did not start"
            kill $devsim 2>/dev/null
            return
        fi
        sleep 0.1
    done
    t0=$(now_ms)
    ./q4m-updater-cli "$@" --trace "/tmp/$name.trace" >"/tmp/cli-$name.log" 2>&1
    rc=$?
    t1=$(now_ms)
    i=0
    while kill -0 $devsim 2>/dev/null && [ $i -lt 50 ]; do
        i=$((i + 1))
        sleep 0.1
    done
    kill $devsim 2>/dev/null
    wait $devsim 2>/dev/null
    say "$name: $(tail -n 1 "/tmp/devsim-$name.log")"
    n=$(blocks "/tmp/$name.trace")
    r=$(retries "/tmp/$name.trace")
    secs=$(((t1 - t0) / 1000)).$(((t1 - t0) % 1000 / 100))
    if [ $rc -ne 0 ]; then
        tail -n 5 "/tmp/cli-$name.log"
        bad "$name update: q4m-updater-cli exit $rc"
    elif ! cmp -s "/tmp/$name.bin" expected.bin; then
        bad "$name update: flash differs from the reference"
    elif [ "$expect" = none ] && [ "$r" -ne 0 ]; then
        # The trace around each block sent again (time, direction, first bytes).
        awk '{ line[NR] = $1 " " $2 " " $3 " " $4 " " $5 " " $6 " " $7 " " $8 " " $9 " " $10 " " $11 " " $12 " (" NF - 2 " bytes)" }
             $2 == ">" && $7 == "02" { key = $3 $4 $5 $6 $7 $8 $9 $10 $11 $12
                 if (seen[key]++) for (i = NR - 4; i <= NR + 1; i++) print "E2E-GUEST:   trace " line[i] }' "/tmp/$name.trace"
        bad "$name update: $r retries on an instant fault-free link"
    elif [ "$expect" = some ] && [ "$r" -eq 0 ]; then
        bad "$name update: no retries seen although blocks were damaged"
    else
        ok "$name update ${secs} s, $n blocks, flash identical, $r retries"
    fi
}

# Generous time limits (x5) on the fault-free runs: an emulated VM on a busy
# host may stall for a second, and that must not read as a lost message. A
# message really lost is still sent again, after 5 s, and counted.
update raw "--rawmidi hw:$card,0" none --in "$raw0" --out "$raw0" --time-scale 5
update seq "" none --time-scale 5
update raw-damaged "--rawmidi hw:$card,0 --corrupt 0.05 --seed 7" some \
    --in "$raw0" --out "$raw0" --time-scale 0.1

# q4m-devsim saves its flash when stopped by a signal too.
./q4m-devsim --flash-out /tmp/signalled.bin >/tmp/devsim-signal.log 2>&1 &
devsim=$!
i=0
while ! grep -q ready /tmp/devsim-signal.log 2>/dev/null && [ $i -lt 100 ]; do
    i=$((i + 1))
    sleep 0.1
done
kill -TERM $devsim
wait $devsim
if [ "$(wc -c </tmp/signalled.bin 2>/dev/null)" = 1048576 ]; then
    ok "q4m-devsim saved its flash on SIGTERM"
else
    bad "q4m-devsim did not save its flash on SIGTERM"
fi

# --- 4. Under ThreadSanitizer ---------------------------------------------------
if [ -x ./q4m-alsa-roundtrip-tsan ]; then
    export TSAN_OPTIONS="halt_on_error=1 exitcode=66"
    if ./q4m-alsa-roundtrip-tsan send "$raw0" "$raw1" 8192 >/tmp/tsan.log 2>&1 &&
        ./q4m-alsa-roundtrip-tsan send "Midi Through" "Midi Through" 8192 >>/tmp/tsan.log 2>&1 &&
        ./q4m-alsa-roundtrip-tsan stall >>/tmp/tsan.log 2>&1; then
        ok "ThreadSanitizer: round trips and stalled send clean"
        sed 's/^/E2E-GUEST:   tsan /' /tmp/tsan.log
    else
        head -n 40 /tmp/tsan.log
        bad "ThreadSanitizer run"
    fi
else
    say "no ThreadSanitizer build of the round-trip tool given"
fi

# --- 5. Kernel log ----------------------------------------------------------------
if dmesg | grep -i -q overrun; then
    dmesg | grep -i overrun | head -n 5
    bad "a MIDI buffer overran (kernel log)"
else
    ok "no overrun in the kernel log"
fi

finish
