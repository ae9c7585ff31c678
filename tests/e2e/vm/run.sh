#!/usr/bin/env bash
# End to end on a real kernel's ALSA stack: boots a throwaway VM (qemu, TCG)
# with Debian's kernel and its sound modules, and runs guest_test.sh there
# against the programs of BUILD_DIR. Prints one line "E2E-ALSA: PASS ...",
# "E2E-ALSA: FAIL ..." (exit 1) or "E2E-ALSA: SKIP ..." (only where qemu cannot
# run at all). Downloads are cached under BUILD_DIR/e2e-vm.
#
#   tests/e2e/vm/run.sh BUILD_DIR [TSAN_BUILD_DIR]
#
# TSAN_BUILD_DIR (default: build-tsan beside BUILD_DIR, as CI makes it): where
# a ThreadSanitizer build of q4m-alsa-roundtrip is found, to run the backend's
# threads under it on the real kernel too. Without one that part is left out.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [[ ! -d ${1:-build} ]]; then
    echo "E2E-ALSA: FAIL no build directory '${1:-build}'"
    exit 1
fi
build=$(cd "${1:-build}" && pwd)
tsan_build=${2:-$(dirname "$build")/build-tsan}
tsan_tool=$tsan_build/bin/q4m-alsa-roundtrip
[[ -x $tsan_tool ]] || tsan_tool=""
work=$build/e2e-vm
cache=$work/cache
mkdir -p "$cache"
start=$SECONDS

fail() {
    echo "E2E-ALSA: FAIL $* ($((SECONDS - start)) s)"
    exit 1
}
skip() {
    echo "E2E-ALSA: SKIP $*"
    exit 0
}

# --- Tools -----------------------------------------------------------------
missing=()
for pair in qemu-system-x86_64:qemu-system-x86 busybox:busybox-static depmod:kmod cpio:cpio; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || [[ -x /sbin/${pair%%:*} ]] || missing+=("${pair#*:}")
done
if ((${#missing[@]})); then
    SUDO=""
    [[ $(id -u) -ne 0 ]] && SUDO=sudo
    { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"; } >"$work/apt.log" 2>&1 || true
fi
command -v qemu-system-x86_64 >/dev/null 2>&1 || skip "qemu-system-x86_64 cannot be installed here"
export PATH=$PATH:/sbin:/usr/sbin
for tool in busybox depmod modprobe cpio; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (see $work/apt.log)"
done
[[ -x /bin/busybox ]] || fail "/bin/busybox is missing"

for program in q4m-devsim q4m-updater-cli q4m-alsa-roundtrip; do
    [[ -x $build/bin/$program ]] || fail "$build/bin/$program is missing (is the tree built with ALSA?)"
done

# --- Kernel: the one linux-image-amd64 points at, never a fixed version ----
package=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }') || true
deb=""
if [[ -n $package ]]; then
    deb=$(ls "$cache/${package}"_*.deb 2>/dev/null | tail -n 1) || true
    if [[ -z $deb ]]; then
        (cd "$cache" && apt-get download "$package" >"$work/download.log" 2>&1) ||
            fail "cannot download $package (see $work/download.log)"
        deb=$(ls "$cache/${package}"_*.deb | tail -n 1)
        # A kernel update replaces the one cached before.
        for old in "$cache"/linux-image-*.deb; do
            [[ $old == "$deb" ]] || rm -rf "$old" "$cache/$(basename "$old" .deb)"
        done
    fi
else
    deb=$(ls "$cache"/linux-image-*.deb 2>/dev/null | tail -n 1) || true  # offline: last one fetched
fi
[[ -n $deb ]] || fail "no kernel package found (apt-cache depends linux-image-amd64)"
kroot=$cache/$(basename "$deb" .deb)
if [[ ! -f $kroot/.unpacked ]]; then
    rm -rf "$kroot"
    mkdir -p "$kroot"
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kroot" --wildcards \
        './boot/vmlinuz-*' './lib/modules/*/kernel/sound/*' './lib/modules/*/modules.*'
    kver=$(ls "$kroot/lib/modules")
    depmod -b "$kroot" "$kver"
    touch "$kroot/.unpacked"
fi
kver=$(ls "$kroot/lib/modules")
vmlinuz=$kroot/boot/vmlinuz-$kver

# --- Expected flash: the same update against the in-process simulator ------
expected=$work/expected.bin
rm -f "$expected"
"$build/bin/q4m-updater-cli" --simulate --sim-flash-out "$expected" >"$work/host-update.log" 2>&1 ||
    fail "the reference update on the host failed (see $work/host-update.log)"

# --- Initramfs and boot ----------------------------------------------------
initrd=$work/initramfs.cpio.gz
bash "$here/build_initramfs.sh" "$initrd" "$kroot" "$kver" "$build/bin" "$expected" "$tsan_tool" ||
    fail "cannot build the initramfs"
prepared=$((SECONDS - start))

# TCG, not KVM: the paravirtual KVM of some hosts hangs with this kernel.
serial=$work/serial.log
qemu_status=0
timeout 100 qemu-system-x86_64 -accel tcg -smp 2 -m 512 -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$initrd" -append 'console=ttyS0 quiet panic=-1' \
    </dev/null >"$serial" 2>&1 || qemu_status=$?
tr -d '\r' <"$serial" >"$serial.txt"

result=$(grep -a '^E2E-RESULT: ' "$serial.txt" | tail -n 1 || true)
if [[ -z $result ]]; then
    if ! grep -q -a '^E2E-BOOT' "$serial.txt"; then
        # qemu itself refused to run (not a timeout): nothing here can be tested.
        if [[ $qemu_status -ne 0 && $qemu_status -ne 124 ]]; then
            skip "qemu cannot run here (exit $qemu_status: $(tail -n 1 "$serial.txt"))"
        fi
        fail "the VM never reached /init (qemu exit $qemu_status; see $serial.txt)"
    fi
    fail "the VM gave no result (qemu exit $qemu_status; see $serial.txt)"
fi
grep -a '^E2E-GUEST: ' "$serial.txt" | sed 's/^E2E-GUEST: /  /'
timing="kernel $kver, prepared in ${prepared} s, total $((SECONDS - start)) s"
case $result in
    "E2E-RESULT: PASS"*) echo "E2E-ALSA: PASS ${result#E2E-RESULT: PASS } ($timing)" ;;
    *) fail "${result#E2E-RESULT: FAIL } ($timing; see $serial.txt)" ;;
esac
