#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# scripts/run.sh on a machine without a display: one line that says what is
# missing and how to run it anyway, exit status 1, and nothing installed,
# built or started.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
MARK="$WORK/build-that-must-not-exist"
rc=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ZORP_BUILD_DIR="$MARK" \
    timeout 60 bash "$ROOT/scripts/run.sh" </dev/null >"$WORK/out" 2>&1 || rc=$?
fail() { echo "run_without_display: $*" >&2; cat "$WORK/out" >&2; exit 1; }
[ "$rc" -eq 1 ] || fail "exit status $rc, not 1"
[ "$(wc -l <"$WORK/out")" -eq 1 ] || fail "not one line"
grep -q "DISPLAY" "$WORK/out" || fail "does not say what is missing"
grep -q "xvfb-run" "$WORK/out" || fail "does not say how to run it anyway"
[ ! -e "$MARK" ] || fail "a build was started"
# Nothing it could have started runs on: no process names the build folder.
if pgrep -f -- "$MARK" >/dev/null; then fail "a process was left running"; fi
echo "ok: $(cat "$WORK/out")"
