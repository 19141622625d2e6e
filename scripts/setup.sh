#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some are missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config dpkg-dev file
    libusb-dev
    qt6-base-dev fonts-dejavu-core
    libgtest-dev libgmock-dev libbenchmark-dev
    libcli11-dev
    umockdev libumockdev-dev valgrind
    clang libclang-rt-14-dev
    # --- Windows cross builds (presets win32, win64) and their runs under wine64 ---
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
    # --- the Python binding's tests ---
    python3-pytest
    # --- the kernel suite: a Debian kernel in QEMU against the usbredir server ---
    qemu-system-x86 libusbredirparser-dev busybox-static cpio xz-utils
    # --- the Debian packages: build, lintian, autopkgtest, man pages ---
    build-essential debhelper dh-python fakeroot help2man lintian autopkgtest
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
    sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
