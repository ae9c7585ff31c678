#!/usr/bin/env bash
# Timed runs of a whole update of the simulated device on an instant link with
# the product's time limits: the total should stay near the 500 ms pause after
# the begin reply plus about a poll period (1 ms) per request (~190 requests).
set -euo pipefail
bin=${1:-build/bin}
for run in 1 2 3; do
    start=$(date +%s%N)
    "$bin/q4m-updater-cli" --simulate >/dev/null
    echo "run $run: $((($(date +%s%N) - start) / 1000000)) ms"
done
