#!/usr/bin/env bash
# The whole unattended updater (`update --nouser`) on the 200-file set of bench_session.sh,
# served by nginx on 127.0.0.1, against the reference tools, each case twice: from an index of
# MD5 checksums alone (a mirror of an older publisher) and as update-publish publishes it, with a
# signed manifest of SHA-256 checksums and an installation that trusts the key:
#   - verification of a current installation vs md5sum over the same files;
#   - a fresh update (download, checks, apply with its flushes) vs aria2c -j4 with the same
#     checksums plus cp into the installation (neither flushes);
#   - the longest interval of a 10 ms timer in the updater's event loop (UPDATE_EVENT_LOOP_PROBE);
#   - peak memory, also for the fresh update of one 512 MB file;
#   - the time spent inside fsync, summed over the threads (a separate run under strace).
#   bench/bench_update.sh BUILD-DIR
# Sizes: LARGE_FILES (200), LARGE_MB (400), SINGLE_MB (512). Needs about 4 GB in /tmp.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?build directory}" && pwd)
UPDATE="$BUILD/src/startup/update"
PUBLISH="$BUILD/src/publish/update-publish"
LARGE_FILES=${LARGE_FILES:-200}
LARGE_MB=${LARGE_MB:-400}
SINGLE_MB=${SINGLE_MB:-512}
ROUNDS=${ROUNDS:-3}
[ -x "$UPDATE" ] || { echo "no $UPDATE" >&2; exit 1; }
for tool in nginx aria2c md5sum openssl /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

. "$SRC/bench/nginx.sh"
make_workdir bench_update

. "$SRC/bench/products.sh"

echo "making the products ..." >&2
LARGE_EACH=$((LARGE_MB * 1000 * 1000 / LARGE_FILES))
make_product "$WORK/www/large" "$LARGE_FILES" $((LARGE_EACH / 2)) "$LARGE_EACH"
make_product "$WORK/www/single" 1 $((SINGLE_MB * 1024 * 1024)) 0
LARGE_BYTES=$(du -sb "$WORK/www/large/12/data" | cut -f1)
openssl genpkey -algorithm ed25519 -out "$WORK/publisher.pem"
openssl pkey -in "$WORK/publisher.pem" -pubout -out "$WORK/update.pub"
"$PUBLISH" --quiet --group data --sign-key "$WORK/publisher.pem" "$WORK/www/large/12/data" \
    "$WORK/www/signed" 12 vm3

start_nginx "$WORK/www"

# An installation of the updater for PRODUCT below $WORK/inst; with "current" it already holds
# the whole set.
make_installation() { # product [current]
    local product=$1 dir="$WORK/inst"
    rm -rf "$dir"
    mkdir -p "$dir/install" "$dir/tmp"
    cp "$UPDATE" "$dir/install/update"
    printf '[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=%s/%s\nretries=1\ntimeout=0\n' \
        "$BASE" "$product" >"$dir/install/mirrors.ini"
    printf '[update]\nstreams=4\n' >"$dir/install/update.ini"
    [ "$product" != signed ] || cp "$WORK/update.pub" "$dir/install/"
    if [ "${2:-}" = current ]; then
        cp "$WORK/www/$product/12/data/"* "$dir/install/"
    fi
}

# Runs the updater; prints "seconds peak-KB longest-gap-ms".
run_update() { # [wrapper...]
    local dir="$WORK/inst" t0 t1
    t0=$(now)
    TMPDIR="$dir/tmp" UPDATE_EVENT_LOOP_PROBE=1 QT_QPA_PLATFORM=offscreen \
        /usr/bin/time -f 'peak %M' -o "$dir/time.txt" "$@" "$dir/install/update" --nouser vm3 12 \
        2>"$dir/log.txt" || { echo "update failed" >&2; tail "$dir/log.txt" >&2; exit 1; }
    t1=$(now)
    grep -q 'Update finished, version: 12' "$dir/log.txt" || { echo "no update" >&2; exit 1; }
    printf '%s %s %s\n' "$(elapsed "$t0" "$t1")" "$(sed -n 's/^peak //p' "$dir/time.txt")" \
        "$(sed -n 's/^event loop: longest timer interval \([0-9]*\) ms.*/\1/p' "$dir/log.txt")"
}

check_installed() { # product
    (cd "$WORK/www/$1/12/data" && md5sum ./*) | (cd "$WORK/inst/install" && md5sum -c --quiet) ||
        { echo "installation differs" >&2; exit 1; }
}

: >"$WORK/md5"
for product in large signed; do
    echo "verification of a current installation ($LARGE_FILES files, $product) ..." >&2
    : >"$WORK/verify_$product"
    for _ in $(seq "$ROUNDS"); do
        make_installation $product current
        cat "$WORK/inst/install/"f*.bin >/dev/null
        run_update >>"$WORK/verify_$product"
        grep -q "Ready: $LARGE_FILES, Downloaded: 0" "$WORK/inst/log.txt" ||
            { echo "not all current" >&2; exit 1; }
        t0=$(now)
        md5sum "$WORK/inst/install/"f*.bin >/dev/null
        t1=$(now)
        elapsed "$t0" "$t1" >>"$WORK/md5"
    done
done
grep -q 'checked by SHA-256' "$WORK/inst/log.txt" || { echo "manifest not used" >&2; exit 1; }

: >"$WORK/aria"
for product in large signed; do
    echo "fresh update ($product) ..." >&2
    : >"$WORK/fresh_$product"
    for _ in $(seq "$ROUNDS"); do
        make_installation $product
        sync
        run_update >>"$WORK/fresh_$product"
        check_installed $product
        rm -rf "$WORK/aria_run" "$WORK/inst"
        mkdir -p "$WORK/aria_run/install"
        aria_input "$WORK/www/large" "$BASE/large" >"$WORK/aria_input.txt"
        sync
        t0=$(now)
        aria2c --no-conf -q -i "$WORK/aria_input.txt" -d "$WORK/aria_run/dl" -j 4 -x 1 \
            --file-allocation=none --allow-overwrite=true --auto-file-renaming=false \
            --check-integrity=true --max-tries=1 --async-dns=false --console-log-level=error \
            --summary-interval=0
        cp "$WORK/aria_run/dl/data/"* "$WORK/aria_run/install/"
        t1=$(now)
        elapsed "$t0" "$t1" >>"$WORK/aria"
        rm -rf "$WORK/aria_run"
    done
done

FSYNC=-
if command -v strace >/dev/null; then
    echo "time inside fsync (strace) ..." >&2
    make_installation large
    sync
    TMPDIR="$WORK/inst/tmp" QT_QPA_PLATFORM=offscreen strace -f -w -c -e trace=fsync \
        -o "$WORK/strace.txt" "$WORK/inst/install/update" --nouser vm3 12 2>/dev/null || true
    FSYNC=$(awk '$NF == "fsync" { print $2; exit }' "$WORK/strace.txt")
fi

echo "single file of $SINGLE_MB MB ..." >&2
make_installation single
run_update >"$WORK/single"
check_installed single
rm -rf "$WORK/inst"

M=$(best <"$WORK/md5")
A=$(best <"$WORK/aria")
printf '\n%-66s %10s %10s %7s\n' "case (best of $ROUNDS, seconds)" "update" "reference" "ratio"
for product in large signed; do
    V=$(cut -d' ' -f1 <"$WORK/verify_$product" | best)
    F=$(cut -d' ' -f1 <"$WORK/fresh_$product" | best)
    label=$([ $product = signed ] && echo "signed manifest" || echo "MD5 index")
    printf '%-66s %10s %10s %7s\n' "verify current $LARGE_FILES files/$((LARGE_BYTES / 1000000)) MB vs md5sum, $label" \
        "$V" "$M" "$(ratio "$V" "$M")"
    printf '%-66s %10s %10s %7s\n' "fresh update vs aria2c -j4 + cp, $label" \
        "$F" "$A" "$(ratio "$F" "$A")"
done
printf '%-66s %10s\n' "longest 10 ms timer interval, verification runs (ms)" \
    "$(cat "$WORK"/verify_* | cut -d' ' -f3 | sort -n | tail -1)"
printf '%-66s %10s\n' "longest 10 ms timer interval, fresh update runs (ms)" \
    "$(cat "$WORK"/fresh_* | cut -d' ' -f3 | sort -n | tail -1)"
printf '%-66s %10s\n' "peak memory, verification (MB)" \
    "$(($(cat "$WORK"/verify_* | cut -d' ' -f2 | sort -n | tail -1) / 1024))"
printf '%-66s %10s\n' "peak memory, fresh update (MB)" \
    "$(($(cat "$WORK"/fresh_* | cut -d' ' -f2 | sort -n | tail -1) / 1024))"
printf '%-66s %10s\n' "peak memory, one $SINGLE_MB MB file (MB)" "$(($(cut -d' ' -f2 <"$WORK/single") / 1024))"
printf '%-66s %10s\n' "seconds inside fsync, summed over threads (strace run)" "$FSYNC"
