#!/usr/bin/env bash
# Renders the application icon's SVG to the PNG sizes of the hicolor theme.
# The PNGs are committed; run this after changing the SVG.
# Needs rsvg-convert (librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/../resources/icons"
for size in 16 22 24 32 48 64 128 256 512; do
    mkdir -p "hicolor/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" org.brisle.Brisle.svg -o "hicolor/${size}x${size}/apps/org.brisle.Brisle.png"
done
