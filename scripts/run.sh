#!/usr/bin/env bash
# Builds the tester and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/deps.sh

BUILD=${ZORP_BUILD_DIR:-$ROOT/build}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j 2 --target ZORP

if [ ! -x "$BUILD/ZORP" ]; then
  echo "The tester is not built yet."
  exit 0
fi
exec "$BUILD/ZORP"
