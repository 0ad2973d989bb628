#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's archive (run as root on Debian 12).
set -euo pipefail
packages=(
    appstream
    build-essential
    busybox-static
    cmake
    cpio
    dbus
    desktop-file-utils
    dpkg-dev
    file
    fonts-dejavu-core
    fuse3
    libboost-dev
    libboost-filesystem-dev
    libfuse3-dev
    libgl-dev
    libgmock-dev
    libgtest-dev
    librsvg2-bin
    libtinyxml-dev
    libsqlite3-dev
    libudev-dev
    lintian
    man-db
    ninja-build
    pkg-config
    poppler-utils
    prometheus
    python3-prometheus-client
    qemu-system-x86
    qt6-base-dev
    qt6-charts-dev
    libqt6opengl6-dev
    systemd
    udev
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The VM tests' guest kernel, unpacked into a cache folder rather than installed.
bash "$(dirname "$0")/../tests/vm/fetch-kernel.sh"
