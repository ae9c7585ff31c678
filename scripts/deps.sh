#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and any
# further ones named as arguments (the packaging scripts' tools).
set -euo pipefail
PACKAGES=(
    build-essential cmake ninja-build pkg-config python3
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libgl-dev libasound2-dev libcli11-dev
    xvfb xauth dbus-daemon
    "$@"
)
source "$(dirname "$0")/apt-install.sh"
apt_install_missing "${PACKAGES[@]}"
