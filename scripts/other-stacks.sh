#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks zorp-slave and zorp-poll against Modbus stacks that the test suite
# does not use: the JavaScript libraries modbus-serial and jsmodbus, as
# clients of zorp-slave (Modbus TCP and RTU over TCP) and as servers that
# zorp-poll reads and writes. Not part of scripts/test.sh: it fetches the two
# libraries from the npm registry into build-other-stacks/.
#
# Environment: ZORP_OTHER_STACKS_BUILD_DIR (default build), the build folder
# with zorp-slave and zorp-poll; they are built there if missing.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${ZORP_OTHER_STACKS_BUILD_DIR:-$ROOT/build}
DIR=$ROOT/build-other-stacks

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get install -y nodejs npm
fi
if [ ! -x "$BUILD/zorp-slave" ] || [ ! -x "$BUILD/zorp-poll" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$BUILD" -j 2 --target zorp-slave zorp-poll >/dev/null

mkdir -p "$DIR"
if [ ! -d "$DIR/node_modules/modbus-serial" ] || [ ! -d "$DIR/node_modules/jsmodbus" ]; then
    npm install --prefix "$DIR" --no-save --omit=optional --no-audit --no-fund \
        modbus-serial@8.0.25 jsmodbus@4.0.10 >/dev/null
fi
NODE_PATH="$DIR/node_modules" exec node "$ROOT/scripts/other-stacks/check.js" "$BUILD"
