#!/usr/bin/env bash
# Installs what is needed, builds, runs the whole test suite, then fuzzes the input readers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build}
cd "$BUILD_DIR"
ctest --output-on-failure --timeout 900 "$@"
cd - >/dev/null
# The readers of hostile input under libFuzzer with ASan and UBSan.
bash scripts/fuzz.sh 30
