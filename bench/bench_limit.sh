#!/usr/bin/env bash
# The download limit of update.ini held by the whole unattended updater: a product of about
# 30 seconds' worth at the limit (8M: 240 MiB in 60 files, 4 streams) from a local nginx that
# serves far faster, once without a limit for reference and once with it. The average is the
# product's bytes over the time between the log lines "Verification of ..." and "Download
# finished." (the files alone); the target is within 10% of the limit.
#   bench/bench_limit.sh BUILD-DIR
# Sizes: LIMIT (8M), SECONDS_AT_LIMIT (30), FILES (60), STREAMS (4). Needs about 1 GB in /tmp.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?build directory}" && pwd)
UPDATE="$BUILD/src/startup/update"
LIMIT=${LIMIT:-8M}
SECONDS_AT_LIMIT=${SECONDS_AT_LIMIT:-30}
FILES=${FILES:-60}
STREAMS=${STREAMS:-4}
[ -x "$UPDATE" ] || { echo "no $UPDATE" >&2; exit 1; }

# The limit in bytes per second, as the updater reads it (K = 1024).
limit_bytes() {
    local n=${1%[kKmMgG]} unit=${1: -1}
    case $unit in
    k | K) echo $((n << 10)) ;; m | M) echo $((n << 20)) ;; g | G) echo $((n << 30)) ;;
    *) echo "$1" ;;
    esac
}
LIMIT_BYTES=$(limit_bytes "$LIMIT")

. "$SRC/bench/nginx.sh"
make_workdir bench_limit
. "$SRC/bench/products.sh"

echo "making the product ..." >&2
EACH=$((LIMIT_BYTES * SECONDS_AT_LIMIT / FILES))
make_product "$WORK/www/p" "$FILES" "$EACH" 0
BYTES=$(du -sb "$WORK/www/p/12/data" | cut -f1)
start_nginx "$WORK/www"

# Runs a fresh update with the given limit (empty: none); prints "seconds-of-files wall-seconds".
run_update() { # [limit]
    local dir="$WORK/inst" t0 t1
    rm -rf "$dir"
    mkdir -p "$dir/install" "$dir/tmp"
    cp "$UPDATE" "$dir/install/update"
    printf '[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=%s/p\nretries=1\ntimeout=0\n' "$BASE" \
        >"$dir/install/mirrors.ini"
    printf '[update]\nstreams=%s\n' "$STREAMS" >"$dir/install/update.ini"
    [ -z "${1:-}" ] || printf 'limit-rate=%s\n' "$1" >>"$dir/install/update.ini"
    t0=$(now)
    TMPDIR="$dir/tmp" QT_QPA_PLATFORM=offscreen "$dir/install/update" --nouser vm3 12 \
        2>"$dir/log.txt" || { echo "update failed" >&2; tail "$dir/log.txt" >&2; exit 1; }
    t1=$(now)
    grep -q 'Update finished, version: 12' "$dir/log.txt" || { echo "no update" >&2; exit 1; }
    (cd "$WORK/www/p/12/data" && md5sum ./*) | (cd "$dir/install" && md5sum -c --quiet) ||
        { echo "installation differs" >&2; exit 1; }
    stamp() { grep -m1 " $1" "$dir/log.txt" | cut -d' ' -f1,2; }
    local from to
    from=$(date -d "$(stamp 'Verification of')" +%s.%N)
    to=$(date -d "$(stamp 'Download finished.')" +%s.%N)
    printf '%s %s\n' "$(elapsed "$from" "$to")" "$(elapsed "$t0" "$t1")"
}

echo "without a limit ..." >&2
read -r FREE_S FREE_WALL < <(run_update)
echo "limit-rate=$LIMIT ..." >&2
read -r LIM_S LIM_WALL < <(run_update "$LIMIT")
rm -rf "$WORK/inst"

mib() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.2f", b / s / 1048576 }'; }
printf 'Product: %d files, %.1f MiB, %d streams, nginx on 127.0.0.1\n' "$FILES" \
    "$(awk -v b="$BYTES" 'BEGIN { print b / 1048576 }')" "$STREAMS"
printf 'No limit:        files in %6.2f s, %8.2f MiB/s (whole run %.2f s)\n' "$FREE_S" \
    "$(mib "$BYTES" "$FREE_S")" "$FREE_WALL"
printf 'limit-rate=%-5s files in %6.2f s, %8.2f MiB/s (whole run %.2f s)\n' "$LIMIT" "$LIM_S" \
    "$(mib "$BYTES" "$LIM_S")" "$LIM_WALL"
awk -v b="$BYTES" -v s="$LIM_S" -v l="$LIMIT_BYTES" 'BEGIN {
    r = b / s / l
    printf "Average against the limit: %.3f (%.2f MiB/s of %.2f MiB/s; target 0.90 to 1.10): %s\n",
        r, b / s / 1048576, l / 1048576, (r >= 0.9 && r <= 1.1) ? "ok" : "OUT OF TOLERANCE"
    exit !(r >= 0.9 && r <= 1.1)
}'
