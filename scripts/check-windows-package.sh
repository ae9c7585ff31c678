#!/usr/bin/env bash
# Checks the Windows installer that scripts/package.sh left in dist/, under
# Wine in a fresh prefix: a silent install (/S) puts the three programs, the
# licence and the uninstaller under "Program Files\Q4m Updater", with the
# Start-menu shortcuts and the entry among installed programs; the installed
# programs answer --version, and the installed CLI completes a whole simulated
# update (its flash compared byte for byte with REFERENCE_CLI's, when given);
# a silent uninstall then removes all of it but a file of the user's.
# Usage: check-windows-package.sh [REFERENCE_CLI]
set -euo pipefail
cd "$(dirname "$0")/.."
reference=${1:-}
shopt -s nullglob
installers=(dist/*-win64-setup.exe)
((${#installers[@]} == 1)) || { echo "FAIL: expected one installer in dist/, found ${#installers[@]}"; exit 1; }
installer=$(cd dist && pwd)/$(basename "${installers[0]}")
for tool in wine wineboot wineserver; do
    command -v $tool >/dev/null || { echo "FAIL: $tool missing (bash scripts/build-windows.sh installs it)"; exit 1; }
done
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winealsa.drv=d"
# Console programs and a silent installer need no display.
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    timeout 20 wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

timeout 120 wineboot -i >/dev/null 2>&1
timeout 60 wineserver -w

echo "--- silent install of $(basename "$installer")"
timeout 120 wine "$installer" /S
timeout 60 wineserver -w
dir="$WINEPREFIX/drive_c/Program Files/Q4m Updater"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Q4m Updater"
installed=(bin/q4m-updater.exe bin/q4m-updater-demo.exe bin/q4m-updater-cli.exe copyright.txt Uninstall.exe)
for file in "${installed[@]}"; do
    [[ -s $dir/$file ]] || fail "not installed: $file"
done
shortcuts=("Q4m Updater.lnk" "Q4m Updater (simulated device).lnk" "Uninstall Q4m Updater.lnk")
for link in "${shortcuts[@]}"; do
    [[ -s $menu/$link ]] || fail "no Start-menu shortcut $link"
done
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Q4m Updater'
entry=$(timeout 60 wine reg query "$key" | tr -d '\r')
grep -q "DisplayName *REG_SZ *Q4m Updater$" <<<"$entry" || fail "no entry among installed programs"
grep -q 'QuietUninstallString .*Uninstall.exe" /S$' <<<"$entry" || fail "no silent uninstall command"
echo "${#installed[@]} files, ${#shortcuts[@]} shortcuts, uninstall entry"

for program in q4m-updater q4m-updater-demo q4m-updater-cli; do
    line=$(timeout 60 wine "$dir/bin/$program.exe" --version | tr -d '\r')
    [[ $line == "$program "[0-9]*" (Release build)" ]] || fail "$program --version: $line"
    echo "$line"
done

(cd "$work" && timeout 300 wine "$dir/bin/q4m-updater-cli.exe" --simulate --sim-flash-out flash.bin) |
    tr -d '\r' >"$work/run.txt" || { cat "$work/run.txt"; fail "the installed CLI's update failed"; }
grep -q "Version update completed." "$work/run.txt" || fail "no completion message"
[[ $(stat -c %s "$work/flash.bin") == 1048576 ]] || fail "flash file not 1 MiB"
if [[ -n $reference ]]; then
    "$reference" --simulate --sim-flash-out "$work/reference.bin" >/dev/null
    cmp "$work/flash.bin" "$work/reference.bin" || fail "flash differs from $reference's"
    echo "flash identical to $reference's"
fi
echo "PASS: the installed q4m-updater-cli.exe updated the simulated device"

echo "--- silent uninstall"
echo "kept" >"$dir/my-notes.txt"
timeout 120 wine "$dir/Uninstall.exe" /S
# The uninstaller runs on from a copy of itself: wait for every process.
timeout 60 wineserver -w
for file in "${installed[@]}"; do
    [[ ! -e $dir/$file ]] || fail "left behind: $file"
done
[[ ! -e $menu ]] || fail "Start-menu folder left behind"
! timeout 60 wine reg query "$key" >/dev/null 2>&1 || fail "uninstall entry left behind"
[[ $(cat "$dir/my-notes.txt") == kept ]] || fail "the user's own file was removed"
echo "PASS: uninstalled, the user's own file kept"
