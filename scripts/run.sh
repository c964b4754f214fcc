#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One command: installs what is missing, builds the tester and starts it.
# When the slave simulator is part of the build, it is started too, on
# 127.0.0.1 port 5020 (Modbus TCP), and stopped when the tester closes.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

# The tester is a window: without a display it could only abort. Say so at
# once, before anything is installed, built or started.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "scripts/run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset); run it in a desktop session, or without one as: xvfb-run -a scripts/run.sh" >&2
  exit 1
fi

bash scripts/deps.sh

BUILD=${ZORP_BUILD_DIR:-$ROOT/build}
SLAVE_PORT=${ZORP_SLAVE_PORT:-5020}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets=(ZORP)
for tool in zorp-poll zorp-slave; do
  if [ -d "$ROOT/tools/$tool" ]; then targets+=("$tool"); fi
done
cmake --build "$BUILD" -j 2 --target "${targets[@]}"
for tool in zorp-poll zorp-slave; do
  if [ -x "$BUILD/$tool" ]; then echo "Built $tool: $BUILD/$tool (try $BUILD/$tool --help)"; fi
done

if [ ! -x "$BUILD/ZORP" ]; then
  echo "The tester is not built yet."
  exit 1
fi

slave_pid=""
stop_slave() {
  if [ -n "$slave_pid" ] && kill -0 "$slave_pid" 2>/dev/null; then
    kill "$slave_pid" 2>/dev/null || true
    wait "$slave_pid" 2>/dev/null || true
  fi
}
trap stop_slave EXIT INT TERM

if [ -x "$BUILD/zorp-slave" ]; then
  "$BUILD/zorp-slave" --tcp "$SLAVE_PORT" --bind 127.0.0.1 &
  slave_pid=$!
  sleep 0.3
  if kill -0 "$slave_pid" 2>/dev/null; then
    echo "A slave simulator listens on 127.0.0.1 port $SLAVE_PORT."
    echo "To reach it: Modbus mode \"TCP\", IP 127.0.0.1, Port $SLAVE_PORT, then Connect."
  else
    echo "The slave simulator did not start (is port $SLAVE_PORT taken?); the tester starts without it."
    slave_pid=""
  fi
fi

"$BUILD/ZORP"
