#!/usr/bin/env bash
# Renders the program's icon (packaging/icons/vexal-capture.svg) into the PNG sizes of the
# hicolor theme, under packaging/icons/hicolor/. Run it after changing the SVG and commit
# the pictures; the build only copies them. Needs rsvg-convert (package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/../packaging/icons"
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "hicolor/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" vexal-capture.svg -o "hicolor/${size}x${size}/apps/vexal-capture.png"
done
