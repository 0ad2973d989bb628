#!/usr/bin/env bash
# Installs what the build needs from Debian's archive (run as root on Debian 12).
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev libboost-dev libboost-filesystem-dev libtinyxml-dev libudev-dev
    libgtest-dev libgmock-dev fonts-dejavu-core librsvg2-bin
    poppler-utils)  # pdftotext reads what the dialog tests print to PDF
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
