#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang 14, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/ (or $FUZZ_BUILD_DIR) and runs each for SECONDS
# (default 30) from its seed corpus fuzz/corpus/TARGET. Fails on any crash, leak or undefined
# behaviour; the input that caused it is left in the build directory as crash-TARGET-*.
# Inputs the fuzzer finds go to a scratch corpus: the seeds in the repository stay as they are.
#
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-30}
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
TARGETS=(productindex trustedkeys serveranswer manifest gunzip patch latestrecord)

cmake -S fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$BUILD" -j2

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=()
for target in "${TARGETS[@]}"; do
    mkdir -p "$scratch/$target"
    log=$BUILD/fuzz_$target.log
    echo "== fuzz_$target for $SECONDS_PER_TARGET s"
    if "$BUILD/fuzz_$target" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -max_len=8192 \
        -print_final_stats=1 -artifact_prefix="$BUILD/crash-$target-" \
        "$scratch/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "   clean: ${execs:-?} runs ($log)"
    else
        echo "   FAILED (see $log):"
        grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20 || true
        failed+=("$target")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: crashes in ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: all targets clean"
