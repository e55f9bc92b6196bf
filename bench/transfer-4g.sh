#!/usr/bin/env bash
# One real update of a file over 4 GiB with the 32-bit installation: checks that lengths, MD5,
# progress and the disk-space check hold beyond 32 bits, and measures it.
#   1. a version holding a 4.5 GiB sparse file is published with update-publish;
#   2. a local nginx serves it;
#   3. the bundled updater (cmake --install of the build) runs `update --nouser` in a scratch
#      installation, under /usr/bin/time -v;
#   4. prints the wall time, the speed, the peak memory and whether the file arrived exact.
# Writes about 13.5 GB (mirror copy, download directory, installed file) in the
# system's temporary directory (TMPDIR) and removes it. Not part of the test suite.
# Usage: bench/transfer-4g.sh [BUILD_DIR]   (default: build/linux-i386)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build/linux-i386}" && pwd)
SIZE=${BENCH_SIZE:-4831838208} # 4.5 GiB
PUBLISH=$BUILD/src/publish/update-publish

. "$SRC/bench/nginx.sh"
make_workdir transfer4g
free_kb=$(df -Pk "$WORK" | awk 'NR == 2 {print $4}')
if [ "$free_kb" -lt $((3 * SIZE / 1024 + 1048576)) ]; then
    echo "transfer-4g: needs $((3 * SIZE / 1024 / 1024 / 1024 + 1)) GB free, has $((free_kb / 1024 / 1024)) GB" >&2
    exit 1
fi

# The installation: the bundle of this build, nothing else of the client yet.
cmake --install "$BUILD" --prefix "$WORK/inst" >/dev/null
bash "$SRC/scripts/check-bundle.sh" "$WORK/inst"
echo "updater: $(file -b "$WORK/inst/update" | cut -d, -f1-2)"

# Version 1: the big file and a client executable, published into the mirror tree.
mkdir -p "$WORK/release/data" "$WORK/mirror" "$WORK/tmp" "$WORK/nginx/tmp"
truncate -s "$SIZE" "$WORK/release/data/big.pak"
printf '#!/bin/sh\nexit 0\n' > "$WORK/release/vm3client_linux_x86"
expected_md5=$(md5sum "$WORK/release/data/big.pak" | cut -d' ' -f1)
"$PUBLISH" "$WORK/release" "$WORK/mirror" 1 client_linux_x86 >/dev/null
chmod -R a+rX "$WORK/mirror"

start_nginx "$WORK/mirror"

cat > "$WORK/inst/mirrors.ini" <<INI
[mirrors]
size=1
1\\mirror=local

[local]
url=http://127.0.0.1:$PORT
INI

status=0
(cd "$WORK/inst" && env TMPDIR="$WORK/tmp" QT_QPA_PLATFORM=offscreen \
    /usr/bin/time -v -o "$WORK/time.txt" ./update --nouser client_linux_x86 1) \
    > "$WORK/update.log" 2>&1 || status=$?

wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$WORK/time.txt" |
       awk -F: '{s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s}')
rss_kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$WORK/time.txt")
got=$WORK/inst/data/big.pak
got_size=$(stat -c %s "$got" 2>/dev/null || echo 0)
got_md5=$(md5sum "$got" 2>/dev/null | cut -d' ' -f1 || true)
exact=no
[ "$got_size" = "$SIZE" ] && [ "$got_md5" = "$expected_md5" ] && exact=yes

printf 'file:       %s bytes (%s GiB), md5 %s\n' "$SIZE" "$(echo "scale=2; $SIZE / 1073741824" | bc)" "$expected_md5"
printf 'exit code:  %s\n' "$status"
printf 'wall time:  %s s (download, verification and installation)\n' "$wall"
printf 'speed:      %s MB/s over the whole update\n' "$(echo "scale=1; $SIZE / $wall / 1000000" | bc)"
printf 'peak RSS:   %s MB\n' "$(echo "scale=1; $rss_kb / 1024" | bc)"
printf 'arrived:    %s bytes, md5 %s: %s\n' "$got_size" "${got_md5:-none}" \
    "$([ $exact = yes ] && echo exact || echo WRONG)"
if [ "$status" -ne 0 ] || [ $exact != yes ]; then
    tail -20 "$WORK/update.log" >&2
    exit 1
fi
