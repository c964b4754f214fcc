#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The package test (CTest package_deb): builds the Debian package from a
# build folder, checks its contents and control data, unpacks it to a
# temporary folder and runs each installed command from there, validates
# the desktop entry and the metainfo, and checks the licence headers.
# The tester runs offscreen as a user who cannot write its folder (as
# "nobody" when run as root), so its settings must land in the per-user
# folder.
#
#   scripts/check-package.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: check-package.sh BUILD_DIR}" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

cpack --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" >"$WORK/cpack.log" 2>&1 ||
    { cat "$WORK/cpack.log" >&2; fail "cpack failed"; }
DEBS=("$WORK"/out/zorp_*_*.deb)
[ -f "${DEBS[0]}" ] || fail "no zorp_VERSION_ARCH.deb was made"
DEB=${DEBS[0]}
echo "package: $(basename "$DEB")"

# Control data: name, version, and dependencies found by dpkg-shlibdeps.
INFO=$(dpkg-deb -I "$DEB")
grep -q '^ Package: zorp$' <<<"$INFO" || fail "package name"
grep -q '^ Architecture: amd64$\|^ Architecture: ' <<<"$INFO" || fail "architecture"
grep -Eq '^ Depends: .*libqt6widgets6' <<<"$INFO" || fail "Depends lacks Qt Widgets: $INFO"
grep -Eq '^ Depends: .*libqt6serialport6' <<<"$INFO" || fail "Depends lacks Qt SerialPort"
grep -Eq '^ Depends: .*libc6' <<<"$INFO" || fail "Depends lacks libc6"

# Contents.
LIST=$(dpkg-deb -c "$DEB" | awk '{print $6}')
for f in ./usr/bin/zorp ./usr/bin/zorp-poll ./usr/bin/zorp-slave ./usr/bin/zorp-monitor \
         ./usr/share/applications/org.zelvara.zorp.desktop \
         ./usr/share/metainfo/org.zelvara.zorp.metainfo.xml \
         ./usr/share/icons/hicolor/scalable/apps/org.zelvara.zorp.svg \
         ./usr/share/man/man1/zorp.1.gz ./usr/share/man/man1/zorp-poll.1.gz ./usr/share/man/man1/zorp-slave.1.gz ./usr/share/man/man1/zorp-monitor.1.gz \
         ./usr/share/doc/zorp/copyright ./usr/share/doc/zorp/changelog.gz; do
    grep -qx -- "$f" <<<"$LIST" || fail "missing $f"
done
for s in 16 22 24 32 48 64 128 256; do
    grep -qx -- "./usr/share/icons/hicolor/${s}x${s}/apps/org.zelvara.zorp.png" <<<"$LIST" || fail "missing ${s}px icon"
done
# Nothing of the build or the tests comes along; every file is root's.
if echo "$LIST" | grep -Eq 'ZORP$|/test_|/gui_|\.a$|/include/'; then fail "stray files: $LIST"; fi
if dpkg-deb -c "$DEB" | awk '{print $2}' | grep -qv '^root/root$'; then fail "files not owned by root"; fi

# Unpacked to a folder, run from there.
X="$WORK/x"
dpkg-deb -x "$DEB" "$X"
for cmd in zorp zorp-poll zorp-slave zorp-monitor; do
    "$X/usr/bin/$cmd" --help >"$WORK/help.txt" 2>&1 || fail "$cmd --help failed: $(cat "$WORK/help.txt")"
    grep -qi usage "$WORK/help.txt" || fail "$cmd --help printed no usage"
done
"$X/usr/bin/zorp" --version | grep -qx "zorp [0-9.]*" || fail "zorp --version"
"$X/usr/bin/zorp-poll" --list-ports | head -1 | grep -q '^COM' || fail "zorp-poll --list-ports"
desktop-file-validate "$X/usr/share/applications/org.zelvara.zorp.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$X/usr/share/metainfo/org.zelvara.zorp.metainfo.xml" >"$WORK/as.log" 2>&1 ||
    { cat "$WORK/as.log" >&2; fail "metainfo"; }
for page in zorp zorp-poll zorp-slave zorp-monitor; do
    gzip -dc "$X/usr/share/man/man1/$page.1.gz" | grep -q '^\.TH' || fail "manual page $page"
done

# The tester, started and closed offscreen by a user who may not write the
# program's folder: "setings.ini" goes to the per-user folder.
HOMEDIR="$WORK/home"
mkdir -p "$HOMEDIR"
chmod 755 "$WORK" "$X"
chmod 777 "$HOMEDIR"
RUN=()
if [ "$(id -u)" -eq 0 ]; then
    RUN=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
else
    chmod a-w "$X/usr/bin"
fi
env -u ZORP_CONFIG_DIR HOME="$HOMEDIR" XDG_CONFIG_HOME="$HOMEDIR/.config" XDG_RUNTIME_DIR= \
    QT_QPA_PLATFORM=offscreen ZORP_SPLASH_MS=10 ZORP_QUIT_AFTER_MS=200 \
    timeout 60 "${RUN[@]}" "$X/usr/bin/zorp" >"$WORK/zorp.log" 2>&1 ||
    { cat "$WORK/zorp.log" >&2; fail "the tester did not start and close"; }
chmod -R u+w "$X"
[ -f "$HOMEDIR/.config/ZORP/setings.ini" ] || fail "no setings.ini in the per-user folder"
grep -q '^\[TfrmModbusMaster\]' "$HOMEDIR/.config/ZORP/setings.ini" || fail "setings.ini has no window section"
[ ! -e "$X/usr/bin/setings.ini" ] || fail "setings.ini written beside the installed program"

bash "$ROOT/scripts/spdx.sh" --check || fail "files without a licence header"
echo "package checks passed"
