#!/usr/bin/env bash
# One large file on two mirrors that cap each connection (nginx limit_rate, as many mirrors and
# CDNs do): the unattended updater with 4 streams against one curl and against
# aria2c -x4 -s4 over the same two mirrors, side by side in one run. Each result is checked.
#   bench/bench_transfer.sh [BUILD_DIR]     (default: build)
# Sizes: BENCH_SIZE (1 GiB), RATE (20m a connection). Needs three times the size in /tmp.
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build}" && pwd)
SIZE=${BENCH_SIZE:-1073741824}
RATE=${RATE:-20m}

. "$SRC/bench/nginx.sh"
make_workdir bench_transfer
mkdir -p "$WORK/release/data" "$WORK/mirror" "$WORK/out"
head -c "$SIZE" /dev/urandom >"$WORK/release/data/big.pak"
printf '#!/bin/sh\nexit 0\n' >"$WORK/release/vm3client_linux_x86"
"$BUILD/src/publish/update-publish" --quiet "$WORK/release" "$WORK/mirror" 1 client_linux_x86 \
    2>/dev/null
chmod -R a+rX "$WORK/mirror"
NGINX_HTTP="limit_rate $RATE; access_log off;"
start_nginx "$WORK/mirror"
# Two mirrors: the same files under two names, each connection capped on its own.
ln -s . "$WORK/mirror/second"
FILE=1/files/data/big.pak
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

t0=$(now)
curl -s -o "$WORK/out/curl.pak" "$BASE/$FILE"
t_curl=$(seconds "$t0" "$(now)")
cmp -s "$WORK/out/curl.pak" "$WORK/release/data/big.pak" || { echo "curl: differs" >&2; exit 1; }
rm -f "$WORK/out/curl.pak"

t0=$(now)
aria2c -q -x4 -s4 -k1M --file-allocation=none -d "$WORK/out" -o aria.pak \
    "$BASE/$FILE" "$BASE/second/$FILE"
t_aria=$(seconds "$t0" "$(now)")
cmp -s "$WORK/out/aria.pak" "$WORK/release/data/big.pak" || { echo "aria2c: differs" >&2; exit 1; }
rm -f "$WORK/out/aria.pak"

cmake --install "$BUILD" --prefix "$WORK/inst" >/dev/null
mkdir -p "$WORK/tmp"
printf '[mirrors]\nsize=2\n1\\mirror=a\n2\\mirror=b\n\n[a]\nurl=%s\n\n[b]\nurl=%s/second\n' \
    "$BASE" "$BASE" >"$WORK/inst/mirrors.ini"
printf '[update]\nstreams=4\n' >"$WORK/inst/update.ini"
t0=$(now)
(cd "$WORK/inst" && TMPDIR="$WORK/tmp" QT_QPA_PLATFORM=offscreen \
    /usr/bin/time -f %M -o "$WORK/peak.txt" ./update --nouser client_linux_x86 1) \
    >"$WORK/update.log" 2>&1
t_update=$(seconds "$t0" "$(now)")
cmp -s "$WORK/inst/data/big.pak" "$WORK/release/data/big.pak" || { echo "update: differs" >&2; exit 1; }
# The download alone: from the end of the verification to "Download finished.".
stamp() { date -d "$(grep -m1 " $1" "$WORK/update.log" | cut -d' ' -f1,2)" +%s.%N; }
t_fetch=$(seconds "$(stamp 'Verification of')" "$(stamp 'Download finished.')")

awk -v mib=$((SIZE >> 20)) -v rate="$RATE" -v c="$t_curl" -v a="$t_aria" -v u="$t_update" -v f="$t_fetch" -v peak="$(cat "$WORK/peak.txt")" 'BEGIN {
    printf "%d MiB on two mirrors at %s a connection\n", mib, rate
    printf "%-28s %8.2f s\n%-28s %8.2f s\n%-28s %8.2f s   %.2f of curl (target <= 0.35), %.2f of aria2c\n",
        "curl, one connection", c, "aria2c -x4 -s4, two mirrors", a, "update, 4 streams", u, u / c, u / a
    printf "%-28s %8.2f s   %.2f of aria2c (the rest: start, verification, installing the file)\n",
        "  of which the download", f, f / a
    printf "%-28s %8.1f MB\n", "update, peak memory", peak / 1024
}'
