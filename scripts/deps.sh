#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages that the build, the tester and the tests need,
# when any is missing. Uses sudo when not run as root.
set -euo pipefail

ZORP_PACKAGES=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-serialport-dev libqt6serialport6
  libgtest-dev libgmock-dev
  python3 python3-pymodbus python3-serial python3-serial-asyncio
  libmodbus-dev mbpoll socat tshark
  xvfb xauth fonts-wine fonts-liberation2 fontconfig
  clang libclang-rt-14-dev
  libqcustomplot-dev libqcustomplot2.1-qt6
  desktop-file-utils appstream lintian dpkg-dev fakeroot util-linux
)

missing=()
for p in "${ZORP_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  # tshark asks whether non-root users may capture: answered no beforehand,
  # so that the installation never stops for the question.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
