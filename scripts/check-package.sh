#!/usr/bin/env bash
# Checks the .deb that scripts/package.sh left in dist/: lintian without
# errors, the desktop entry and the AppStream data valid, the dependencies
# installable here, and the package installed into an empty root, whose
# programs then run from there: --version, and a whole simulated update.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh lintian desktop-file-utils appstream dpkg-dev
shopt -s nullglob
debs=(dist/*.deb)
((${#debs[@]} == 1)) || { echo "FAIL: expected one .deb in dist/, found ${#debs[@]}"; exit 1; }
deb=${debs[0]}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "--- lintian $deb"
lintian --fail-on error --tag-display-limit 0 "$deb"

echo "--- dependencies: $(dpkg-deb -f "$deb" Depends)"
apt-get install --simulate -qq "./$deb" >/dev/null

echo "--- install into an empty root"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The libraries it depends on are this machine's (checked above), not the root's.
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >"$work/dpkg.txt" 2>&1 ||
    { cat "$work/dpkg.txt"; exit 1; }
dpkg --root="$root" -L q4m-updater | grep -c "^/usr/bin/" | sed 's/$/ programs installed/'

desktop-file-validate "$root"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml
for page in q4m-updater q4m-updater-demo q4m-updater-cli q4m-devsim; do
    [[ -s $root/usr/share/man/man1/$page.1.gz ]] || { echo "FAIL: no man page for $page"; exit 1; }
done

for program in q4m-updater q4m-updater-demo q4m-updater-cli q4m-devsim; do
    line=$("$root/usr/bin/$program" --version)
    [[ $line == "$program "[0-9]*" (Release build)" ]] || { echo "FAIL: $program --version: $line"; exit 1; }
    echo "$line"
done

"$root/usr/bin/q4m-updater-cli" --simulate --sim-flash-out "$work/flash.bin" >"$work/run.txt"
grep -q "Version update completed." "$work/run.txt"
[[ $(stat -c %s "$work/flash.bin") == 1048576 ]]
echo "PASS: the installed q4m-updater-cli updated the simulated device"
