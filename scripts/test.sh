#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite three times: on the 64-bit
# build, on the 32-bit x86 build (the product's own platform, run natively by the x86-64
# kernel, or in an emulated i386 Debian where the kernel refuses 32-bit programs) and on a
# 64-bit build with AddressSanitizer and UndefinedBehaviorSanitizer. Then it fuzzes the readers
# of hostile input. Arguments go to each ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/setup-i386.sh
cmake --preset asan >/dev/null
cmake --build --preset asan

# Any sanitizer report fails the run, in the tests and in the binaries they start.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Some x86-64 kernels are built without IA32 emulation and refuse every 32-bit program
# ("Exec format error"); there the 32-bit suite runs in an emulated i386 machine, as it does
# anywhere with I386_VM=1.
for dir in "${BUILD_DIR:-build}" build/linux-i386 build/asan; do
    if [ "$dir" = build/linux-i386 ] &&
        { [ "${I386_VM:-}" = 1 ] || ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; }; then
        echo "== test suite in $dir, in an emulated i386 Debian"
        bash scripts/test-i386-vm.sh "$@"
        continue
    fi
    echo "== test suite in $dir"
    # The end-to-end parts run side by side; each has five times its usual time.
    (cd "$dir" && ctest --output-on-failure --timeout 300 -j"$(nproc)" "$@")
done

bash scripts/fuzz.sh 30
