#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Sourced by run.sh and test.sh; safe to run again (a no-op when all is there).
set -euo pipefail

PICTAVO_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools fusefat dosfstools
    qt6-image-formats-plugins libgl-dev zlib1g-dev
    libexiv2-dev liblcms2-dev libjpeg62-turbo-dev pkg-config desktop-file-utils appstream
    libheif-dev libjxl-dev libwebp-dev libraw-dev libtiff-dev libpng-dev libdeflate-dev libseccomp-dev libgdk-pixbuf-2.0-dev
    libimage-exiftool-perl libvips-tools libjxl-tools libpixman-1-dev lld)

pictavo_install_packages() {
    local missing=()
    local p
    for p in "${PICTAVO_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
