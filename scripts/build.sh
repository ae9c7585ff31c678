#!/usr/bin/env bash
# Configures and builds into DIR (default build/) with any extra CMake arguments.
# Q4M_WERROR=ON in the environment makes warnings errors (CI sets it);
# Q4M_BUILD_TYPE picks the build type (default RelWithDebInfo); Q4M_TARGETS
# builds only the targets it names (default: all).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="${Q4M_BUILD_TYPE:-RelWithDebInfo}" \
    ${Q4M_WERROR:+-DQ4M_WERROR=$Q4M_WERROR} "$@" >/dev/null
targets=()
[[ -n ${Q4M_TARGETS:-} ]] && targets=(--target $Q4M_TARGETS)
cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"
