#!/usr/bin/env bash
# Builds the packages into dist/: "deb" (a Release build, then CPack's .deb,
# whose dependencies come from the shared libraries the programs link) and
# "windows" (the Windows cross build, then its NSIS installer). Both when
# none is named. The build directories are build-release/ and build-windows/,
# or Q4M_DEB_BUILD_DIR and Q4M_WINDOWS_BUILD_DIR.
#   bash scripts/package.sh [deb] [windows]
set -euo pipefail
cd "$(dirname "$0")/.."
kinds=("$@")
((${#kinds[@]})) || kinds=(deb windows)
mkdir -p dist

package_deb() {
    local dir=${Q4M_DEB_BUILD_DIR:-build-release}
    # help2man writes the man pages; dpkg-dev's dpkg-shlibdeps finds the dependencies.
    bash scripts/deps.sh help2man dpkg-dev
    bash scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Release
    rm -f dist/*.deb
    # The man pages' date comes from the last commit, not the clock.
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s) \
        cpack --config "$dir/CPackConfig.cmake" -B "$PWD/dist" >/dev/null
    rm -rf dist/_CPack_Packages
    ls -l dist/*.deb
}

package_windows() {
    local dir=${Q4M_WINDOWS_BUILD_DIR:-build-windows}
    bash scripts/deps.sh nsis
    bash scripts/build-windows.sh "$dir"
    cmake --build "$dir" --target q4m_installer >/dev/null
    rm -f dist/*-win64-setup.exe
    cp "$(sed -n 's/^Q4M_INSTALLER:INTERNAL=//p' "$dir/CMakeCache.txt")" dist/
    ls -l dist/*-win64-setup.exe
}

for kind in "${kinds[@]}"; do
    case $kind in
    deb) package_deb ;;
    windows) package_windows ;;
    *) echo "usage: bash scripts/package.sh [deb] [windows]" >&2; exit 2 ;;
    esac
done
