#!/usr/bin/env bash
# Download session against aria2c, and verification against md5sum, on products served by nginx
# on 127.0.0.1. Everything lives in a temporary directory that is removed at the end.
#   bench/bench_session.sh [build-dir]
# The driver bench/bench_session comes from the build dir when the project builds bench/;
# otherwise it is built below the temporary directory.
# Sizes can be changed: LARGE_FILES (200), LARGE_MB (400), SMALL_FILES (2000), SMALL_KB (4).
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
LARGE_FILES=${LARGE_FILES:-200}
LARGE_MB=${LARGE_MB:-400}
SMALL_FILES=${SMALL_FILES:-2000}
SMALL_KB=${SMALL_KB:-4}

for tool in nginx aria2c md5sum; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

. "$SRC/bench/nginx.sh"
make_workdir bench_session

DRIVER=
BUILD=${1:-}
if [ -n "$BUILD" ] && [ ! -x "$BUILD/bench/bench_session" ]; then
    cmake --build "$BUILD" --target bench_session -j2 >/dev/null 2>&1 || true
fi
if [ -n "$BUILD" ] && [ -x "$BUILD/bench/bench_session" ]; then
    DRIVER="$BUILD/bench/bench_session"
else
    # The project does not build bench/ itself: wrap it in a project that does.
    echo "building the driver ..." >&2
    mkdir -p "$WORK/wrap"
    cat >"$WORK/wrap/CMakeLists.txt" <<WRAP
cmake_minimum_required(VERSION 3.22)
project(bench_wrap LANGUAGES CXX)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network Test LinguistTools)
find_package(CURL REQUIRED)
find_package(ZLIB REQUIRED)
add_subdirectory("$SRC" main)
if(NOT TARGET bench_session)
    add_subdirectory("$SRC/bench" bench)
endif()
WRAP
    cmake -S "$WORK/wrap" -B "$WORK/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$WORK/build" --target bench_session -j2 >/dev/null
    DRIVER="$WORK/build/bench/bench_session"
fi

. "$SRC/bench/products.sh"
seconds() { awk -v ms="$1" 'BEGIN { printf "%.2f\n", ms / 1000 }'; }

echo "making the products ..." >&2
LARGE_EACH=$((LARGE_MB * 1000 * 1000 / LARGE_FILES))
make_product "$WORK/www/large" "$LARGE_FILES" $((LARGE_EACH / 2)) "$LARGE_EACH"
make_product "$WORK/www/small" "$SMALL_FILES" $((SMALL_KB * 1024)) 0
LARGE_BYTES=$(du -sb "$WORK/www/large/12/data" | cut -f1)

start_nginx "$WORK/www"

run_session() { # product streams -> seconds
    local product=$1 streams=$2 dir="$WORK/run"
    rm -rf "$dir"
    mkdir -p "$dir/install"
    printf '[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=%s/%s\nretries=1\ntimeout=0\n' \
        "$BASE" "$product" >"$dir/install/mirrors.ini"
    printf '[update]\nstreams=%s\n' "$streams" >"$dir/install/update.ini"
    local ms
    ms=$("$DRIVER" download "$dir/install/mirrors.ini" "$dir/install/update.ini" \
        "$dir/download" "$dir/install" vm3 12) || { echo "session failed" >&2; echo FAIL; return; }
    diff -rq "$dir/download/data" "$WORK/www/$product/12/data" >/dev/null ||
        { echo "session download differs" >&2; echo FAIL; return; }
    seconds "$ms"
}

run_aria() { # product jobs -> seconds
    local product=$1 jobs=$2 dir="$WORK/aria"
    rm -rf "$dir"
    mkdir -p "$dir"
    aria_input "$WORK/www/$product" "$BASE/$product" >"$dir/input.txt"
    local t0 t1
    t0=$(now)
    aria2c --no-conf -q -i "$dir/input.txt" -d "$dir" -j "$jobs" -x 1 --file-allocation=none \
        --allow-overwrite=true --auto-file-renaming=false --check-integrity=true \
        --max-tries=1 --async-dns=false --console-log-level=error --summary-interval=0 ||
        { echo "aria2c failed" >&2; echo FAIL; return; }
    t1=$(now)
    diff -rq "$dir/data" "$WORK/www/$product/12/data" >/dev/null ||
        { echo "aria2c download differs" >&2; echo FAIL; return; }
    elapsed "$t0" "$t1"
}


echo "large set: $LARGE_FILES files, $((LARGE_BYTES / 1000000)) MB" >&2
S_LARGE=$(for _ in 1 2 3; do run_session large 4; done | best)
A_LARGE=$(for _ in 1 2 3; do run_aria large 4; done | best)

echo "verification ..." >&2
INSTALL="$WORK/installed"
mkdir -p "$INSTALL"
cp "$WORK"/www/large/12/data/* "$INSTALL/"
sync
cat "$INSTALL"/* >/dev/null
# Alternate the two so that both meet the same state of the machine.
: >"$WORK/v_session"
: >"$WORK/v_md5"
for _ in 1 2 3; do
    ms=$("$DRIVER" verify "$WORK/www/large/12/vm3.ini" "$WORK/empty" "$INSTALL")
    seconds "$ms" >>"$WORK/v_session"
    t0=$(now)
    md5sum "$INSTALL"/* >/dev/null
    t1=$(now)
    elapsed "$t0" "$t1" >>"$WORK/v_md5"
done
V_SESSION=$(best <"$WORK/v_session")
V_MD5=$(best <"$WORK/v_md5")

echo "small set: $SMALL_FILES files of $SMALL_KB KB" >&2
S_SMALL4=$(for _ in 1 2; do run_session small 4; done | best)
S_SMALL16=$(for _ in 1 2; do run_session small 16; done | best)
A_SMALL4=$(for _ in 1 2; do run_aria small 4; done | best)
A_SMALL16=$(for _ in 1 2; do run_aria small 16; done | best)

printf '\n%-44s %10s %10s %8s\n' "case (best of runs, seconds)" "session" "reference" "ratio"
printf '%-44s %10s %10s %8s\n' "download $LARGE_FILES files / $((LARGE_BYTES / 1000000)) MB, 4 streams vs aria2c -j4" \
    "$S_LARGE" "$A_LARGE" "$(ratio "$S_LARGE" "$A_LARGE")"
printf '%-44s %10s %10s %8s\n' "verify installed copy vs md5sum" \
    "$V_SESSION" "$V_MD5" "$(ratio "$V_SESSION" "$V_MD5")"
printf '%-44s %10s %10s %8s\n' "$SMALL_FILES x $SMALL_KB KB, 4 streams vs aria2c -j4" \
    "$S_SMALL4" "$A_SMALL4" "$(ratio "$S_SMALL4" "$A_SMALL4")"
printf '%-44s %10s %10s %8s\n' "$SMALL_FILES x $SMALL_KB KB, 16 streams vs aria2c -j16" \
    "$S_SMALL16" "$A_SMALL16" "$(ratio "$S_SMALL16" "$A_SMALL16")"
