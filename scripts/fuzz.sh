#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer)
# into build-fuzz/ and runs them side by side for SECONDS (default 30), each
# from its committed seed corpus. Prints each target's executions; a finding fails the script and
# its input is printed in hex.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
dir=build-fuzz

bash scripts/deps.sh
source scripts/apt-install.sh
command -v clang++ >/dev/null || apt_install_missing clang
# libFuzzer and the sanitizer runtimes come with the compiler-rt of clang's own version.
major=$(clang++ -dumpversion | cut -d. -f1)
apt_install_missing "libclang-rt-$major-dev"

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ ${Q4M_WERROR:+-DQ4M_WERROR=$Q4M_WERROR} \
    -DQ4M_BUILD_FUZZ=ON -DQ4M_SANITIZE=fuzzer-no-link,address,undefined \
    -DQ4M_BUILD_QT=OFF -DQ4M_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" --target q4m_fuzz_targets --parallel "$(nproc)"

# The targets run side by side (one process each), each for SECONDS.
fuzz_one() {
    local target=$1 corpus=$dir/corpus/$1 findings=$dir/findings/$1 log=$dir/fuzz-$1.log
    # What the run finds is kept in build-fuzz/, not in the tree.
    rm -rf "$findings"
    mkdir -p "$corpus" "$findings"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$dir/bin/q4m_fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/" \
        "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1
}
targets=(dispatcher codec trace_line)
pids=()
for target in "${targets[@]}"; do
    fuzz_one "$target" &
    pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
    target=${targets[$i]}
    status=0
    wait "${pids[$i]}" || status=$?
    log=$dir/fuzz-$target.log
    findings=$dir/findings/$target
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if [[ $status -eq 0 ]]; then
        echo "fuzz $target: ${runs:-?} executions in ${seconds} s, no finding"
        continue
    fi
    failed=1
    echo "fuzz $target: FINDING (exit $status) after ${runs:-?} executions"
    grep -E "ERROR|SUMMARY|fuzz: |runtime error" "$log" | head -20 || true
    for input in "$findings"/*; do
        [[ -f $input ]] || continue
        echo "input $(basename "$input") ($(stat -c %s "$input") bytes), hex:"
        od -An -tx1 -v "$input"
    done
    echo "full log: $log"
done
exit $failed
