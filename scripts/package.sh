#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package zorp_VERSION_ARCH.deb (Release build in
# build-package/, CPack; dependencies found by dpkg-shlibdeps) and checks it
# with lintian. Prints the package's path last.
#
#   scripts/package.sh              build and lintian
#   scripts/package.sh --apt-test   also install it with apt, run the
#                                   installed commands, and remove it again
#                                   (changes the machine: needs root or sudo)
#
# Environment: ZORP_PACKAGE_BUILD_DIR (default build-package).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${ZORP_PACKAGE_BUILD_DIR:-$ROOT/build-package}
APT_TEST=0
case "${1:-}" in
    --apt-test) APT_TEST=1 ;;
    "") ;;
    *) echo "usage: scripts/package.sh [--apt-test]" >&2; exit 2 ;;
esac

bash scripts/deps.sh
# Debian's hardening flags: stack protector, fortified libc calls, format
# checks, full RELRO and immediate binding (the programs parse what arrives
# from the network and from serial lines).
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build "$BUILD" -j 2 --target ZORP zorp-poll zorp-slave zorp-monitor zorp_install_files
rm -rf "$BUILD/packages"
cpack --config "$BUILD/CPackConfig.cmake" -B "$BUILD/packages" >/dev/null
DEB=$(ls "$BUILD"/packages/zorp_*.deb)
echo "package: $DEB"
dpkg-deb -I "$DEB" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Installed-Size\):/  \1:/p'

echo "lintian:"
# Errors fail the script; warnings and notes are shown.
lintian --info --display-info "$DEB" | sed 's/^/  /' || true
if lintian "$DEB" | grep -q '^E:'; then
    echo "lintian reports errors" >&2
    exit 1
fi

if [ "$APT_TEST" = 1 ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    echo "apt: installing"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$DEB" >/dev/null
    for cmd in zorp zorp-poll zorp-slave zorp-monitor; do
        "/usr/bin/$cmd" --help >/dev/null || { echo "installed $cmd --help failed" >&2; exit 1; }
    done
    man -w zorp >/dev/null
    dpkg -L zorp | grep -q '^/usr/share/applications/org.zelvara.zorp.desktop$'
    echo "apt: installed $(dpkg-query -W -f='${Package} ${Version}' zorp); removing"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get remove -y -qq --purge zorp >/dev/null
    if dpkg-query -W -f='${Status}' zorp 2>/dev/null | grep -q "install ok"; then
        echo "zorp is still installed" >&2
        exit 1
    fi
    for f in /usr/bin/zorp /usr/bin/zorp-poll /usr/bin/zorp-slave /usr/bin/zorp-monitor /usr/share/applications/org.zelvara.zorp.desktop; do
        [ ! -e "$f" ] || { echo "$f left behind" >&2; exit 1; }
    done
    echo "apt: removed cleanly"
fi
echo "$DEB"
