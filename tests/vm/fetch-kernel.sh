#!/usr/bin/env bash
# Unpacks Debian's cloud kernel and its modules for the VM tests into a cache folder
# (default /var/cache/drivelore-vm), leaving the machine's own /boot alone.
set -euo pipefail
cache=${DRL_VM_CACHE:-/var/cache/drivelore-vm}
if compgen -G "$cache/root/boot/vmlinuz-*" >/dev/null; then
    exit 0
fi
mkdir -p "$cache"
cd "$cache"
# The meta package names the kernel of the day.
image() {
    apt-cache depends linux-image-cloud-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1
}
image=$(image)
[ -n "$image" ] || { apt-get update -qq && image=$(image); }
[ -n "$image" ] || { echo "fetch-kernel: no linux-image-cloud-amd64 in the package lists" >&2; exit 1; }
rm -f ./*.deb
apt-get download "$image" 2>&1 | grep -v unsandboxed || true
dpkg -x ./"$image"_*.deb root
rm -f ./*.deb
