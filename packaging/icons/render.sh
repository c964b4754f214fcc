#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the icon's PNG sizes from the SVG (needs rsvg-convert, package
# librsvg2-bin). The PNGs are kept in the tree, so the build does not need it.
set -euo pipefail
cd "$(dirname "$0")"
for s in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$s" -h "$s" org.zelvara.zorp.svg -o "org.zelvara.zorp-$s.png"
done
