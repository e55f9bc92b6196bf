#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the benchmarks need, then
# configures and builds the project into ./build (or $BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-tools-dev qt6-l10n-tools
          qt6-tools-dev-tools qt6-translations-l10n libcurl4-openssl-dev zlib1g-dev
          ca-certificates openssl nginx vsftpd squid xvfb xauth imagemagick gzip procps
          iproute2 locales python3 aria2 time curl bc patchelf file libssl-dev clang-14
          libclang-rt-14-dev libzstd-dev libfaketime)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR"
