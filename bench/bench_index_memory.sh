#!/usr/bin/env bash
# Peak memory of reading a product index as large as a mirror may send (64 MiB), against its
# size, on the 64-bit and the 32-bit build: the shapes that cost the most per byte of text (the
# shortest entries, deletions only, deep paths). The peak includes the text itself.
#
#   bench/bench_index_memory.sh [BUILD_DIR ...]     (default: build build/linux-i386)
set -euo pipefail

DIRS=("$@")
[[ ${#DIRS[@]} -gt 0 ]] || DIRS=(build build/linux-i386)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench_index.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
SIZE=$((64 * 1024 * 1024))

# The shortest entries there are: one group, names of two characters.
awk -v size=$SIZE 'BEGIN {
    print "[f]"; n = 0
    for (i = 0; n < size - 64; i++) {
        line = sprintf("%x=0123456789abcdef0123456789abcdef::1", i); print line; n += length(line) + 1
    }
}' >"$WORK/entries.ini"
awk -v size=$SIZE 'BEGIN {
    print "[f]\nx=0123456789abcdef0123456789abcdef::1\n[delete]"; n = 0
    for (i = 0; n < size - 64; i++) { line = sprintf("%x=", i); print line; n += length(line) + 1 }
}' >"$WORK/deletions.ini"
awk -v size=$SIZE 'BEGIN {
    deep = "a"; for (i = 0; i < 1000; i++) deep = deep "\\a"
    print "[f]"; n = 0
    for (i = 0; n < size - 4096; i++) {
        line = sprintf("%s\\%x=0123456789abcdef0123456789abcdef::1", deep, i); print line
        n += length(line) + 1
    }
}' >"$WORK/deep.ini"

printf '%-16s %-12s %10s %10s %8s   %s\n' build index "MiB" "peak MiB" ratio result
for dir in "${DIRS[@]}"; do
    helper=$dir/bench/bench_util
    if [[ ! -x $helper ]]; then
        echo "$helper not built: skipped" >&2
        continue
    fi
    for shape in entries deletions deep; do
        file=$WORK/$shape.ini
        out=$("$helper" index "$file" || true)
        peak_kb=$(sed -n 's/.*VmHWM: \([0-9]*\) kB.*/\1/p' <<<"$out")
        bytes=$(stat -c %s "$file")
        awk -v d="$dir" -v s="$shape" -v b="$bytes" -v p="$peak_kb" -v r="${out%%,*}" 'BEGIN {
            printf "%-16s %-12s %10.1f %10.1f %8.1f   %s\n", d, s, b / 1048576, p / 1024,
                p * 1024 / b, r }'
    done
done
