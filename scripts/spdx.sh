#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Licence headers: every source file (C and C++, CMake, shell, Python)
# starts with the one-line SPDX identifier, after a "#!" line if it has one.
#
#   scripts/spdx.sh           adds the header where it is missing
#   scripts/spdx.sh --check   lists the files without it; exit status 1 if any
set -euo pipefail
cd "$(dirname "$0")/.."
ID="SPDX-License-Identifier: GPL-3.0-or-later"
CHECK=0
case "${1:-}" in
    --check) CHECK=1 ;;
    "") ;;
    *) echo "usage: scripts/spdx.sh [--check]" >&2; exit 2 ;;
esac

list_files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        { git ls-files; git ls-files --others --exclude-standard; } | sort -u
    else
        find . -type f ! -path './build*' ! -path './.git/*' | sed 's|^\./||' | sort
    fi
}

comment_for() {
    case "$1" in
        fuzz/corpus/*) ;;
        *.c|*.cpp|*.h|*.hpp) echo "//" ;;
        */CMakeLists.txt|CMakeLists.txt|*.cmake|*.sh|*.py|.ci/run) echo "#" ;;
    esac
}

missing=0
while IFS= read -r f; do
    [ -f "$f" ] || continue
    c=$(comment_for "$f")
    [ -n "$c" ] || continue
    if head -n 3 "$f" | grep -qF "$ID"; then continue; fi
    if [ "$CHECK" = 1 ]; then
        echo "$f"
        missing=1
        continue
    fi
    tmp=$(mktemp)
    if head -n 1 "$f" | grep -q '^#!'; then
        { head -n 1 "$f"; echo "$c $ID"; tail -n +2 "$f"; } >"$tmp"
    else
        { echo "$c $ID"; cat "$f"; } >"$tmp"
    fi
    chmod --reference="$f" "$tmp"
    mv "$tmp" "$f"
    echo "added: $f"
done < <(list_files)
exit "$missing"
