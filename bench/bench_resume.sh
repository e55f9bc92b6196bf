#!/usr/bin/env bash
# A download stopped by SIGKILL at 80% of a 1 GiB file, then the next start: how much of the
# file the second run fetches again (target: at most 0.25 of it), and that it arrives exact.
# STREAMS (4): with more than one the file is fetched in ranges, and a stop leaves holes.
# nginx on 127.0.0.1 sends at most 200 MB/s a connection, so that the stop lands where asked.
#   bench/bench_resume.sh [BUILD_DIR]      (default: build)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build}" && pwd)
SIZE=${BENCH_SIZE:-1073741824}
STOP_AT=$((SIZE * 8 / 10))

. "$SRC/bench/nginx.sh"
make_workdir bench_resume
cmake --install "$BUILD" --prefix "$WORK/inst" >/dev/null
mkdir -p "$WORK/release/data" "$WORK/mirror" "$WORK/tmp"
head -c "$SIZE" /dev/urandom >"$WORK/release/data/big.pak"
printf '#!/bin/sh\nexit 0\n' >"$WORK/release/vm3client_linux_x86"
"$BUILD/src/publish/update-publish" --quiet "$WORK/release" "$WORK/mirror" 1 client_linux_x86
chmod -R a+rX "$WORK/mirror"
NGINX_HTTP="log_format sent '\$request_uri \$status \$body_bytes_sent'; access_log $WORK/sent.log sent; limit_rate 200m;"
start_nginx "$WORK/mirror"
printf '[mirrors]\nsize=1\n1\\mirror=local\n\n[local]\nurl=%s\n' "$BASE" >"$WORK/inst/mirrors.ini"
printf '[update]\nstreams=%s\n' "${STREAMS:-4}" >"$WORK/inst/update.ini"
run_update() {
    (cd "$WORK/inst" && exec env TMPDIR="$WORK/tmp" QT_QPA_PLATFORM=offscreen \
        ./update --nouser client_linux_x86 1) >>"$WORK/update.log" 2>&1
}

# The subshell execs the updater: $! is its PID.
(cd "$WORK/inst" && exec env TMPDIR="$WORK/tmp" QT_QPA_PLATFORM=offscreen \
    ./update --nouser client_linux_x86 1) >>"$WORK/update.log" 2>&1 &
pid=$!
part=
while kill -0 "$pid" 2>/dev/null; do
    part=$(find "$WORK/tmp" -name big.pak -path '*voxmere_temp_*' 2>/dev/null | head -1)
    # Bytes written, not the length: streams fetching ranges leave holes.
    if [ -n "$part" ] && [ "$(stat -c '%b * %B' "$part" | bc)" -ge "$STOP_AT" ]; then
        kill -9 "$pid"
        break
    fi
    sleep 0.02
done
wait "$pid" 2>/dev/null || true
kept=$(stat -c '%b * %B' "$part" 2>/dev/null | bc || echo 0)
first=$(awk '$1 ~ /big.pak$/ { s += $3 } END { print s + 0 }' "$WORK/sent.log")
status=0
run_update || status=$?
both=$(awk '$1 ~ /big.pak$/ { s += $3 } END { print s + 0 }' "$WORK/sent.log")
exact=no
cmp -s "$WORK/release/data/big.pak" "$WORK/inst/data/big.pak" && exact=yes
awk -v size="$SIZE" -v kept="$kept" -v again=$((both - first)) -v status="$status" -v exact="$exact" 'BEGIN {
    printf "file %.0f MiB, stopped with %.0f MiB on disk (%.2f)\n", size / 1048576, kept / 1048576, kept / size
    printf "next start: exit %d, exact %s, fetched %.0f MiB again = %.3f of the file (target <= 0.25)\n",
        status, exact, again / 1048576, again / size
}'
