#!/usr/bin/env bash
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
