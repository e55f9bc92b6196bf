#!/usr/bin/env bash
# Times the checksum, unpacking and index code against the command-line tools, on the same files
# in one run: getFileMD5Ex against md5sum on a 1 GB file, unzipFile against gzip -dc on a large
# .gz, and the reading of a 20,000-entry product index. Each figure is the best of three runs with
# the files in the page cache.
#
#   bench/bench_util.sh [BUILD_DIR]      (or BENCH_UTIL=/path/to/bench_util bench/bench_util.sh)
set -euo pipefail

BUILD_DIR=${1:-build}
HELPER=${BENCH_UTIL:-$BUILD_DIR/bench/bench_util}
if [[ ! -x $HELPER ]]; then
    echo "bench_util not found at $HELPER: build the bench_util target first" >&2
    exit 1
fi
HASH_MB=${HASH_MB:-1024}
GZ_MB=${GZ_MB:-256}
ENTRIES=${ENTRIES:-20000}
RUNS=${RUNS:-3}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench_util.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# Best wall-clock seconds of $RUNS runs of a command (its output discarded).
best() {
    local times="" start end
    for ((i = 0; i < RUNS; i++)); do
        start=$(date +%s.%N)
        "$@" >/dev/null
        end=$(date +%s.%N)
        times+="$start $end"$'\n'
    done
    awk 'NF == 2 { s = $2 - $1; if (best == "" || s < best) best = s } END { printf "%.3f", best }' \
        <<<"$times"
}

calc() { awk "BEGIN { printf \"$1\", $2 }"; }
mbps() { calc "%.0f" "$1 / $2"; }
ratio() { calc "%.2f" "$1 / $2"; }

echo "Preparing files in $WORK ..."
head -c "${HASH_MB}M" /dev/urandom >"$WORK/big.bin"
# Something like a client release: libraries and data, compressible as real files are.
{
    tar -cf - -C / usr/lib/x86_64-linux-gnu usr/share 2>/dev/null || true
} | head -c "${GZ_MB}M" >"$WORK/release.tar"
gzip -6 -c "$WORK/release.tar" >"$WORK/release.tar.gz"
awk -v n="$ENTRIES" 'BEGIN {
    for (i = 0; i < n; i++) {
        if (i % 100 == 0) printf "[group%03d]\n", i / 100
        if (i % 5 == 0)
            printf "dir%d\\file%d.gz=%032x::%d::%032x::%d::dir%d/file%d\n", i % 7, i, i, i * 3 + 1, i + 1, i * 7 + 2, i % 7, i
        else
            printf "dir%d\\file%d=%032x::%d\n", i % 7, i, i, i * 3 + 1
    }
    printf "[delete]\nold\\a=\nold\\b=\n"
}' >"$WORK/index.ini"
cat "$WORK/big.bin" "$WORK/release.tar.gz" "$WORK/index.ini" >/dev/null

echo "Checking results ..."
[[ $("$HELPER" md5 "$WORK/big.bin") == $(md5sum "$WORK/big.bin" | cut -c1-32) ]] || {
    echo "checksums differ" >&2
    exit 1
}
"$HELPER" unzip "$WORK/out.lib" "$WORK/release.tar.gz"
cmp -s "$WORK/out.lib" "$WORK/release.tar" || {
    echo "unpacked file differs" >&2
    exit 1
}

echo "Timing (best of $RUNS) ..."
t_md5sum=$(best md5sum "$WORK/big.bin")
t_md5lib=$(best "$HELPER" md5 "$WORK/big.bin")
gzip_dc() { gzip -dc "$WORK/release.tar.gz" >"$WORK/out.gzip"; }
t_gzip=$(best gzip_dc)
t_unzip=$(best "$HELPER" unzip "$WORK/out.lib" "$WORK/release.tar.gz")
t_index=$(best "$HELPER" index "$WORK/index.ini")
index_line=$("$HELPER" index "$WORK/index.ini")

echo
printf '%-34s %10s %10s   %s\n' "" "tool" "ours" "ours/tool speed (target >= 0.90)"
printf '%-34s %8ss %8ss   %s\n' "MD5 of ${HASH_MB} MB (md5sum)" "$t_md5sum" "$t_md5lib" \
    "$(ratio "$t_md5sum" "$t_md5lib")"
printf '%-34s %10s %10s\n' "  MB/s" "$(mbps "$HASH_MB" "$t_md5sum")" "$(mbps "$HASH_MB" "$t_md5lib")"
printf '%-34s %8ss %8ss   %s\n' "Unpack ${GZ_MB} MB .gz (gzip -dc)" "$t_gzip" "$t_unzip" \
    "$(ratio "$t_gzip" "$t_unzip")"
printf '%-34s %10s %10s\n' "  MB/s unpacked" "$(mbps "$GZ_MB" "$t_gzip")" "$(mbps "$GZ_MB" "$t_unzip")"
printf '%-34s %10s %8ss   %s\n' "Index of $ENTRIES entries" "" "$t_index" "(whole process)"
echo "  $index_line"
