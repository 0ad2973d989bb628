#!/usr/bin/env bash
# make-initramfs.sh OUT MODULES_DIR PLAN_DIR PROGRAM...
# A busybox initramfs (uncompressed) with the kernel modules the VM tests load, the
# programs under test and the libraries ldd names for them, guest-init.sh as /init and the
# test plan under /vm.
set -euo pipefail
out=$1 modules=$2 plan=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,run,tmp,lib/modules,vm}
cp "$(command -v busybox)" "$root/bin/busybox"
for m in configfs scsi_common scsi_mod sd_mod sg virtio_ring virtio virtio_pci_modern_dev \
    virtio_pci_legacy_dev virtio_pci virtio_scsi uio target_core_mod target_core_user tcm_loop; do
    f=$(find "$modules" -name "$m.ko*" | head -n 1)
    [ -n "$f" ] || { echo "make-initramfs: module $m missing under $modules" >&2; exit 1; }
    cp "$f" "$root/lib/modules/"
done
for p in "$@"; do
    install -D "$p" "$root/bin/$(basename "$p")"
    for lib in $(ldd "$p" | grep -o '/[^ ]*'); do
        [ -e "$root$lib" ] || install -D "$lib" "$root$lib"
    done
done
install -m 755 "$here/guest-init.sh" "$root/init"
cp -r "$plan"/. "$root/vm/"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$out"
