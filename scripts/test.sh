#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds ZORP and runs the whole test suite. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/deps.sh

BUILD=${ZORP_BUILD_DIR:-$ROOT/build}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j 2
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD" --output-on-failure -j 2 --timeout 300

# The same suite once more, built with AddressSanitizer, UndefinedBehavior-
# Sanitizer and LeakSanitizer (-O1 keeps it quick to run). Any report fails
# the test that caused it. ZORP_SKIP_SANITIZE=1 leaves this part out.
if [ "${ZORP_SKIP_SANITIZE:-0}" != 1 ]; then
  SAN_BUILD=${ZORP_SANITIZE_BUILD_DIR:-$ROOT/build-asan}
  cmake -S "$ROOT" -B "$SAN_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORP_SANITIZE=ON \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g"
  cmake --build "$SAN_BUILD" -j 2
  export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp:print_suppressions=0"
  ctest --test-dir "$SAN_BUILD" --output-on-failure -j 2 --timeout 600
fi
