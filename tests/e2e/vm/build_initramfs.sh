#!/usr/bin/env bash
# Builds the VM's initramfs: busybox, the sound modules in load order, our
# programs with the shared libraries they need, ALSA's configuration, the
# expected flash image, /init and the guest test.
#
#   build_initramfs.sh OUT.cpio.gz KERNEL_ROOT KERNEL_VERSION BIN_DIR EXPECTED_FLASH [TSAN_TOOL]
#
# TSAN_TOOL: a ThreadSanitizer build of q4m-alsa-roundtrip, put in as
# q4m-alsa-roundtrip-tsan.
set -euo pipefail
out=$1 kroot=$2 kver=$3 bindir=$4 expected=$5 tsan=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

mkdir -p "$stage"/{bin,dev,proc,sys,tmp,modules,e2e,usr/share/alsa}
cp /bin/busybox "$stage/bin/busybox"

# Modules and their order: what modprobe would load, dependencies first.
for module in snd-seq-dummy snd-virmidi; do
    modprobe -d "$kroot" -S "$kver" --show-depends "$module"
done | awk '$1 == "insmod" { print $2 }' | awk '!seen[$0]++' >"$stage/modules/list.full"
: >"$stage/modules/order"
while read -r path; do
    cp "$path" "$stage/modules/"
    basename "$path" >>"$stage/modules/order"
done <"$stage/modules/list.full"
rm "$stage/modules/list.full"

# Programs and every shared library they load.
programs=("$bindir/q4m-devsim" "$bindir/q4m-updater-cli" "$bindir/q4m-alsa-roundtrip")
for p in "${programs[@]}"; do cp "$p" "$stage/e2e/"; done
if [[ -n $tsan ]]; then
    cp "$tsan" "$stage/e2e/q4m-alsa-roundtrip-tsan"
    programs+=("$tsan")
fi
for p in "${programs[@]}"; do
    ldd "$p" | awk '/=>/ { print $3 } !/=>/ && /^\s*\// { print $1 }'
done | sort -u | while read -r lib; do
    [[ -e $lib ]] || continue
    mkdir -p "$stage$(dirname "$lib")"
    cp -L "$lib" "$stage$lib"
done
# The loader is found through the path in the executables (/lib64/...).
if [[ -e /lib64/ld-linux-x86-64.so.2 && ! -e $stage/lib64/ld-linux-x86-64.so.2 ]]; then
    mkdir -p "$stage/lib64"
    cp -L /lib64/ld-linux-x86-64.so.2 "$stage/lib64/"
fi

cp /usr/share/alsa/alsa.conf "$stage/usr/share/alsa/"
cp "$expected" "$stage/e2e/expected.bin"
cp "$here/guest_test.sh" "$stage/e2e/"
cp "$here/init" "$stage/init"
chmod +x "$stage/init" "$stage/e2e/guest_test.sh"

(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
