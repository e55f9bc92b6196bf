#!/usr/bin/env bash
# Transport speed against curl's command-line tool, both fetching from a local nginx:
#   1. one 1 GB file (throughput, and our peak memory, which must stay flat);
#   2. 2,000 files of 4 KB one after another over one connection (per-file overhead).
# Usage: bench/bench_transport.sh [BUILD_DIR]   (the build must contain update_download)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build}" && pwd)
. "$SRC/bench/nginx.sh"
make_workdir bench_transport

# The driver: a few lines on top of the download library.
g++ -std=c++17 -O2 -fPIC -o "$WORK/transport_fetch" "$SRC/bench/transport_fetch.cpp" \
    -I"$SRC/src/download" -I"$SRC/src/util" $(pkg-config --cflags Qt6Core Qt6Network) \
    "$BUILD/src/download/libupdate_download.a" "$BUILD/src/util/libupdate_util.a" \
    $(pkg-config --libs Qt6Core Qt6Network) -lcurl -lz -lcrypto

mkdir -p "$WORK/www/small" "$WORK/out" "$WORK/nginx/tmp"
dd if=/dev/urandom of="$WORK/www/big.bin" bs=1M count=1024 status=none
for i in $(seq 1 2000); do head -c 4096 /dev/urandom > "$WORK/www/small/f$i.bin"; done
chmod -R a+rX "$WORK"
start_nginx "$WORK/www"

now() { date +%s.%N; }
# Best of three runs each, to damp the noise of a shared machine.
best() { sort -g | head -1; }

echo "/big.bin" > "$WORK/big.list"
curl_big=$(for _ in 1 2 3; do t0=$(now); curl -s --noproxy '*' -o "$WORK/out/big.bin" "http://127.0.0.1:$PORT/big.bin"; t1=$(now); rm -f "$WORK/out/big.bin"; echo "$t1 - $t0" | bc -l; done | best)
ours_big=$(for _ in 1 2 3; do t0=$(now); /usr/bin/time -f "%M" -o "$WORK/rss" "$WORK/transport_fetch" 127.0.0.1 "$PORT" "$WORK/big.list" "$WORK/out"; t1=$(now); cmp -s "$WORK/out/big.bin" "$WORK/www/big.bin" || { echo "1 GB file differs" >&2; exit 1; }; rm -f "$WORK/out/big.bin"; cat "$WORK/rss" >> "$WORK/rss.all"; echo "$t1 - $t0" | bc -l; done | best)
peak_kb=$(sort -n "$WORK/rss.all" | tail -1)

# The same 2,000 URLs: one curl process (one connection) and one HttpClient.
: > "$WORK/curl.cfg"; : > "$WORK/small.list"
for i in $(seq 1 2000); do
    printf 'url = "http://127.0.0.1:%s/small/f%s.bin"\noutput = "%s/out/f%s.bin"\n' "$PORT" "$i" "$WORK" "$i" >> "$WORK/curl.cfg"
    echo "/small/f$i.bin" >> "$WORK/small.list"
done
curl_small=$(for _ in 1 2 3; do t0=$(now); curl -s --noproxy '*' -K "$WORK/curl.cfg"; t1=$(now); rm -f "$WORK"/out/*; echo "$t1 - $t0" | bc -l; done | best)
ours_small=$(for _ in 1 2 3; do t0=$(now); /usr/bin/time -f "%M" -o "$WORK/rss.small" "$WORK/transport_fetch" 127.0.0.1 "$PORT" "$WORK/small.list" "$WORK/out"; t1=$(now); n=$(ls "$WORK/out" | wc -l); [ "$n" = 2000 ] || { echo "only $n small files" >&2; exit 1; }; rm -f "$WORK"/out/*; echo "$t1 - $t0" | bc -l; done | best)

printf '1 GB file:   curl %.2f s (%.0f MB/s), ours %.2f s (%.0f MB/s); speed ratio ours/curl %.2f (target >= 0.9)\n' \
    "$curl_big" "$(echo "1024 / $curl_big" | bc -l)" "$ours_big" "$(echo "1024 / $ours_big" | bc -l)" "$(echo "$curl_big / $ours_big" | bc -l)"
printf '             our peak memory %d KB (fetching 4 KB files: %d KB)\n' "$peak_kb" "$(cat "$WORK/rss.small")"
printf '2,000 x 4 KB: curl %.2f s (%.0f us/file), ours %.2f s (%.0f us/file); overhead ratio ours/curl %.2f (target <= 1.5)\n' \
    "$curl_small" "$(echo "$curl_small * 1000000 / 2000" | bc -l)" "$ours_small" "$(echo "$ours_small * 1000000 / 2000" | bc -l)" "$(echo "$ours_small / $curl_small" | bc -l)"
