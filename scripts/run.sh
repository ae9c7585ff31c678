#!/usr/bin/env bash
# Installs what is needed, builds build/ and runs an update: the real device
# when one is connected, otherwise the built-in simulated device. With a
# display it opens the window; without one it runs in the terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build
bin=build/bin
if [[ -e /dev/snd/seq ]] && "$bin/q4m-updater-cli" --list 2>/dev/null | grep -q "VEXA Q Series"; then
    if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then exec "$bin/q4m-updater" "$@"; fi
    exec "$bin/q4m-updater-cli" "$@"
fi
echo "No Q Series device found: updating the built-in simulated device." >&2
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then exec "$bin/q4m-updater-demo" "$@"; fi
# A USB-MIDI-like wire speed, so the progress is there to watch.
exec "$bin/q4m-updater-cli" --simulate --sim-wire-rate 48 "$@"
