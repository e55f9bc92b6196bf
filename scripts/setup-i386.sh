#!/usr/bin/env bash
# Installs the 32-bit x86 (i386) toolchain and libraries beside the 64-bit ones, then configures
# and builds the linux-i386 preset into ./build/linux-i386. Host tools (moc, uic, lrelease) stay
# the 64-bit ones from scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# Cross compiler (host package) and the i386 development libraries the updater links against.
# patchelf sets the run paths of the bundled libraries at install time; the tests preload
# libfaketime into the 32-bit updater.
PACKAGES=(g++-i686-linux-gnu patchelf file
          qt6-base-dev:i386 libcurl4-openssl-dev:i386 zlib1g-dev:i386 libssl-dev:i386
          libzstd-dev:i386 libfaketime:i386)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    need_update=1
fi

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
    echo "Installing: ${missing[*]}"
    # Another apt may run at the same time on a shared machine: wait for its lock.
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y \
        --no-install-recommends "${missing[@]}"
fi

cmake --preset linux-i386 >/dev/null
cmake --build --preset linux-i386 -j"${JOBS:-2}"
