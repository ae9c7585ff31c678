#!/usr/bin/env bash
# Builds the packages into dist/: a Release build in DIR (default
# build-release/, any extra CMake arguments follow), then CPack's .deb, whose
# dependencies come from the shared libraries the programs link.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-release}
shift || true
# help2man writes the man pages; dpkg-dev's dpkg-shlibdeps finds the dependencies.
bash scripts/deps.sh help2man dpkg-dev
bash scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Release "$@"
mkdir -p dist
rm -f dist/*.deb
# The man pages' date comes from the last commit, not the clock.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s) \
    cpack --config "$dir/CPackConfig.cmake" -B "$PWD/dist" >/dev/null
rm -rf dist/_CPack_Packages
ls -l dist/*.deb
