#!/usr/bin/env bash
# Cross-builds the Windows programs into build-windows/bin/ (q4m-updater.exe,
# q4m-updater-demo.exe, q4m-updater-cli.exe, and the test programs), after
# installing what the cross build and the Wine test run need. Extra CMake
# arguments follow the directory: bash scripts/build-windows.sh [DIR] [ARGS...]
# Q4M_WERROR=ON makes warnings errors, as in scripts/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-windows}
shift || true

packages=(cmake ninja-build googletest libcli11-dev g++-mingw-w64-x86-64
          wine wine64 fonts-wine xvfb xauth xdotool imagemagick x11-utils)
source scripts/apt-install.sh
# Wine's recommendations pull in hundreds of MB that nothing here uses.
apt_install_missing --no-install-recommends "${packages[@]}"

# The toolchain is read only when the build directory is first configured.
toolchain=()
[[ -f $dir/CMakeCache.txt ]] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" \
    ${Q4M_WERROR:+-DQ4M_WERROR=$Q4M_WERROR} "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
