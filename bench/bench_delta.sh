#!/usr/bin/env bash
# Patch updates against whole-file updates of the same installation, side by side in one run.
# A sample product of about 400 MB goes from version 1 to version 2 with about 1% of its bytes
# changed: four large packed files with scattered edits (one of them also with an insertion),
# ten changed small files, two new and two removed ones. update-publish publishes version 2
# twice, with patches from version 1 and without; nginx serves both on 127.0.0.1 at 20 MB/s
# per connection, as a real mirror is slower than loopback. Reported: bytes served (nginx's
# log), wall time of `update --nouser`, its peak anonymous memory (mapped files aside) and the
# publisher's time to make the patches.
#   bench/bench_delta.sh BUILD-DIR       (BENCH_LOGS=DIR keeps the updater's two logs there)
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?build directory}" && pwd)
UPDATE="$BUILD/src/startup/update"
PUBLISH="$BUILD/src/publish/update-publish"
for tool in nginx /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
. "$SRC/bench/nginx.sh"
. "$SRC/bench/products.sh"
make_workdir bench_delta

echo "making versions 1 and 2 ..." >&2
/usr/bin/python3 - "$WORK/src" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(5000)]
def text(size):  # compressible like game data, about 3:1
    out = bytearray()
    while len(out) < size:
        out += b" ".join(rng.choice(words) for _ in range(2000)) + b"\n"
    return out[:size]
def write(version, name, data):
    path = os.path.join(root, str(version), name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
for i in range(4):
    old = text(90_000_000)
    new = bytearray(old)
    for _ in range(900):  # 1% of the bytes, scattered
        at = rng.randrange(len(new) - 1000)
        new[at:at + 1000] = text(1000)
    if i == 0:
        at = len(new) // 3
        new[at:at] = text(100_000)
    write(1, f"levels/pack{i}.pak", old)
    write(2, f"levels/pack{i}.pak", new)
for i in range(30):
    old = text(1_000_000)
    new = bytearray(old)
    if i < 10:
        new[500:520] = b"changed in version 2"
    if i < 28:
        write(1, f"data/small{i:02}.dat", old)
    if i >= 2:
        write(2, f"data/small{i:02}.dat", new)
write(2, "data/new1.dat", text(500_000))
write(2, "data/new2.dat", text(500_000))
PY

"$PUBLISH" --quiet --pack '*.pak' "$WORK/src/1" "$WORK/www/patch" 1 vm3
t0=$(now)
"$PUBLISH" --pack '*.pak' --previous "$WORK/www/patch/1/vm3.ini" --delta-from 1 "$WORK/src/2" \
    "$WORK/www/patch" 2 vm3 >"$WORK/publish.txt"
t1=$(now)
PATCH_LINE=$(grep '^Manifest ' "$WORK/publish.txt")
"$PUBLISH" --quiet --pack '*.pak' --previous "$WORK/www/patch/1/vm3.ini" "$WORK/src/2" \
    "$WORK/www/whole" 2 vm3
chmod -R a+rX "$WORK/www"

NGINX_HTTP="log_format bytes '\$request_uri \$body_bytes_sent'; access_log $WORK/access.log bytes; limit_rate 20m;"
start_nginx "$WORK/www"

# Runs the updater on a fresh copy of version 1; prints "seconds bytes-served peak-anon-KB".
run_update() { # mirror
    local dir="$WORK/inst" t0 t1 pid peak=0 kb
    rm -rf "$dir"
    mkdir -p "$dir/install" "$dir/tmp"
    cp -r "$WORK/src/1/." "$dir/install/"
    cp "$UPDATE" "$dir/install/update"
    printf '[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=%s/%s\nretries=1\ntimeout=0\n' \
        "$BASE" "$1" >"$dir/install/mirrors.ini"
    printf '[update]\nstreams=4\n' >"$dir/install/update.ini"
    sync
    : >"$WORK/access.log"
    t0=$(now)
    TMPDIR="$dir/tmp" QT_QPA_PLATFORM=offscreen "$dir/install/update" --nouser vm3 2 \
        2>"$dir/log.txt" &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        kb=$(awk '/^RssAnon:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        [ -n "$kb" ] && [ "$kb" -gt "$peak" ] && peak=$kb
        sleep 0.02
    done
    wait "$pid" || { echo "update failed" >&2; tail "$dir/log.txt" >&2; exit 1; }
    t1=$(now)
    grep -q 'Update finished, version: 2' "$dir/log.txt" || { echo "no update" >&2; exit 1; }
    [ -z "${BENCH_LOGS:-}" ] || cp "$dir/log.txt" "$BENCH_LOGS/update-$1.log"
    (cd "$WORK/src/2" && find . -type f -exec cmp -s {} "$dir/install/{}" \; -o -type f -print) |
        grep . && { echo "installation differs" >&2; exit 1; }
    printf '%s %s %s\n' "$(elapsed "$t0" "$t1")" \
        "$(awk '{ s += $2 } END { print s }' "$WORK/access.log")" "$peak"
}

echo "patch update ..." >&2
P=$(run_update patch)
echo "whole-file update ..." >&2
W=$(run_update whole)

field() { echo "$1" | cut -d' ' -f"$2"; }
printf '\n%-44s %14s %14s %7s\n' "case" "patches" "whole files" "ratio"
printf '%-44s %14s %14s %7s\n' "bytes served" "$(field "$P" 2)" "$(field "$W" 2)" \
    "$(ratio "$(field "$P" 2)" "$(field "$W" 2)")"
printf '%-44s %14s %14s %7s\n' "wall time of update --nouser (s)" "$(field "$P" 1)" \
    "$(field "$W" 1)" "$(ratio "$(field "$P" 1)" "$(field "$W" 1)")"
printf '%-44s %14s %14s\n' "peak anonymous memory (MB)" "$(($(field "$P" 3) / 1024))" \
    "$(($(field "$W" 3) / 1024))"
printf '%-44s %14s\n' "publishing version 2 with patches (s)" "$(elapsed "$t0" "$t1")"
echo "$PATCH_LINE"
