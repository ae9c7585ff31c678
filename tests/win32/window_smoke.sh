#!/usr/bin/env bash
# The demo window under Wine on an X server of the caller's (DISPLAY), inside
# the prefix's virtual desktop "Default" (scripts/test-windows.sh sets it up),
# driven by mouse clicks as a user would (Wine ignores synthetic key events):
#   0. the window menu's About command (0x10) opens the About box, whose title
#      field shows the program title, and its OK button closes it;
#   1. Execute runs a whole simulated update to "Version update completed.",
#      after which Execute is disabled and the step counter shows 8/8;
#   2. Exit during a run asks before stopping the rewrite; Yes ends the
#      process within 1 s.
# Every wait has a time limit, so the test cannot hang.
# Usage: window_smoke.sh BIN_DIR OUT_DIR   (WINEPREFIX and DISPLAY set)
set -euo pipefail
bin=$1
out=$2
caption="Vexa Q4m System 1.10 Updater"
desktop="Default - Wine desktop"
demo=""

fail() {
    echo "FAIL window smoke: $*"
    import -window root "$out/smoke-failure.png" 2>/dev/null || true
    exit 1
}
# Its text-mode output ends lines with CR LF.
probe() { timeout 60 wine "$bin/q4m-window-probe.exe" "$@" | tr -d '\r'; }
cleanup() {
    if [[ -n $demo ]] && kill -0 "$demo" 2>/dev/null; then kill "$demo" 2>/dev/null || true; fi
}
trap cleanup EXIT

start_demo() {
    timeout 300 wine "$bin/q4m-updater-demo.exe" >/dev/null 2>&1 &
    demo=$!
    probe enabled "$caption" 1 >/dev/null || fail "no window \"$caption\""
}

# The centre of control ID of window CAPTION (default: the main window), in X
# screen coordinates.
locate() {
    local window=${2:-$caption}
    local where origin
    where=$(probe where "$window" "$1") || fail "control $1 not found"
    for _ in $(seq 100); do
        origin=$(xwininfo -name "$desktop" 2>/dev/null |
            awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} END{if (x != "") print x, y}')
        [[ -n $origin ]] && break
        sleep 0.1
    done
    [[ -n $origin ]] || fail "no X window \"$desktop\""
    read -r x y <<<"$where"
    read -r dx dy <<<"$origin"
    echo $((x + dx)) $((y + dy))
}

click() {
    local at
    at=$(locate "$@")
    xdotool mousemove $at click 1
}

# The process of the window program itself (Wine runs each Windows process as
# a process of its own), so its end can be timed.
program_pid() {
    for _ in $(seq 50); do
        local pid
        pid=$(pgrep -n -f 'q4m-updater-demo\.exe' | head -1 || true)
        [[ -n $pid ]] && { echo "$pid"; return; }
        sleep 0.1
    done
}

wait_gone() {  # PID LIMIT_MS -> elapsed ms, or fails
    local pid=$1 limit=$2 t0 now
    t0=$(date +%s%3N)
    while kill -0 "$pid" 2>/dev/null; do
        now=$(date +%s%3N)
        ((now - t0 > limit)) && return 1
        sleep 0.02
    done
    echo $(($(date +%s%3N) - t0))
}

echo "--- window smoke: About box, then a whole simulated update"
start_demo
about="About Q Series Updater"
probe syscommand "$caption" 16 || fail "window menu command not delivered"
probe wait-text "$about" 1003 "Vexa Q4m System 1.10 Updater" 10000 || fail "no About box"
import -window root "$out/smoke-about.png" || true
click 1 "$about"
for _ in $(seq 50); do
    xwininfo -root -tree | grep -q "\"$about\"" || break
    sleep 0.1
done
xwininfo -root -tree | grep -q "\"$about\"" && fail "OK did not close the About box"
click 1
probe wait-text "$caption" 1003 "Version update completed." 180000 || fail "the update did not complete"
probe wait-text "$caption" 1006 "8/8" 5000 || fail "step counter not at 8/8"
[[ $(probe enabled "$caption" 1) == 0 ]] || fail "Execute still enabled after a completed run"
import -window root "$out/smoke-completed.png" || true
click 2
wait "$demo" || fail "the demo did not end cleanly after Exit"
demo=""
echo "completed, Execute disabled, closed by Exit"

echo "--- window smoke: Exit during a run"
start_demo
pid=$(program_pid)
[[ -n $pid ]] || fail "no process of the demo found"
click 1
probe wait-text "$caption" 1003 "Data transmit" 60000 || fail "the run did not start sending"
click 2
question="Stop Update"
yes_at=$(locate 6 "$question")  # IDYES of the question box
kill -0 "$pid" 2>/dev/null || fail "Exit closed the window without asking"
t0=$(date +%s%3N)
xdotool mousemove $yes_at click 1
wait_gone "$pid" 5000 >/dev/null || fail "the process still runs 5 s after Yes"
total=$(($(date +%s%3N) - t0))
echo "asked; ended ${total} ms after Yes"
((total <= 1000)) || fail "Exit took ${total} ms (limit 1000 ms)"
wait "$demo" 2>/dev/null || true
demo=""
echo "PASS window smoke"
