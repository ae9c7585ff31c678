#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet: one
# `apt-get update` first, and only when something is missing (sudo when not
# root). Sourced by the other scripts, it defines apt_install_missing.
#   apt_install_missing [--no-install-recommends] PACKAGE...
apt_install_missing() {
    local options=() missing=() package sudo=""
    if [[ ${1:-} == --no-install-recommends ]]; then
        options=("$1")
        shift
    fi
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${options[@]}" "${missing[@]}"
}
