#!/usr/bin/env bash
# Checks an installation directory made by `cmake --install BUILD --prefix DIR`:
#  - `update` and every library and plugin in DIR load each library they need either from DIR
#    or, for the libraries of cmake/system-libraries.txt, from the system;
#  - every library in DIR is loaded by `update` or a platform plugin, directly or through
#    another bundled library.
# Prints every problem and exits 1 if there is one.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 INSTALLATION_DIR" >&2
    exit 2
fi
dir=$(realpath "$1")
system_list="$(dirname "$(realpath "$0")")/../cmake/system-libraries.txt"
mapfile -t system_regexes < <(grep -v -e '^#' -e '^[[:space:]]*$' "$system_list")

problems=0
problem() {
    echo "check-bundle: $*" >&2
    problems=$((problems + 1))
}

is_system_library() {
    local name=$1 re
    for re in "${system_regexes[@]}"; do
        [[ $name =~ $re ]] && return 0
    done
    return 1
}

is_elf() {
    [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]
}

if [ ! -f "$dir/update" ]; then
    problem "$dir/update is missing"
    exit 1
fi

# Everything that is loaded: the program, the bundled libraries and the plugins.
objects=("$dir/update")
while IFS= read -r -d '' f; do
    if is_elf "$f"; then
        objects+=("$f")
    else
        problem "${f#"$dir"/} looks like a library but is not an ELF file"
    fi
done < <(find "$dir" -type f \( -name '*.so' -o -name '*.so.*' \) -print0 | sort -z)
while IFS= read -r -d '' f; do
    problem "${f#"$dir"/} is a link; the bundle holds each library once, as a file"
done < <(find "$dir" -type l -print0)

declare -A edges # object -> space-separated bundled files it loads
for object in "${objects[@]}"; do
    rel=${object#"$dir"/}
    # ldd resolves as the loader would; a clean environment keeps LD_LIBRARY_PATH out of it.
    declare -A resolved=()
    while read -r name arrow path _; do
        [ "$arrow" = "=>" ] && resolved[$name]=$path
    done < <(env -i /usr/bin/ldd "$object" 2>/dev/null || true)
    edges[$object]=""
    while read -r name; do
        path=${resolved[$name]:-not}
        if [ "$path" != "not" ] && [[ $(realpath "$path") == "$dir"/* ]]; then
            edges[$object]+=" $(realpath "$path")"
        elif is_system_library "$name"; then
            : # the dynamic loader itself has no "=>" line in ldd's output
        elif [ "$path" = "not" ]; then
            problem "$rel needs $name, which is not found"
        else
            problem "$rel loads $name from $path: outside the bundle, and not a system library"
        fi
    done < <(readelf -d "$object" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    unset resolved
done

# What is loaded at all: from the program and the plugins Qt loads, along the bundled edges.
declare -A used=()
queue=("$dir/update")
while IFS= read -r -d '' f; do queue+=("$f"); done < <(find "$dir/plugins" -type f -name '*.so' -print0 2>/dev/null)
while [ ${#queue[@]} -gt 0 ]; do
    current=${queue[0]}
    queue=("${queue[@]:1}")
    [ -n "${used[$current]:-}" ] && continue
    used[$current]=1
    for next in ${edges[$current]:-}; do
        [ -z "${used[$next]:-}" ] && queue+=("$next")
    done
done
for object in "${objects[@]}"; do
    [ -n "${used[$object]:-}" ] || problem "${object#"$dir"/} is bundled but nothing loads it"
done

if [ ! -f "$dir/qt.conf" ]; then
    problem "qt.conf is missing: Qt would not find the bundled plugins"
fi
for plugin in libqxcb.so libqoffscreen.so; do
    [ -f "$dir/plugins/platforms/$plugin" ] || problem "plugins/platforms/$plugin is missing"
done

if [ "$problems" -gt 0 ]; then
    echo "check-bundle: $dir: $problems problem(s)" >&2
    exit 1
fi
echo "check-bundle: $dir: ${#objects[@]} files load only bundled or system libraries, all are used"
