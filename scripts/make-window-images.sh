#!/bin/sh
# Renders the window's edge and corner images from resources/window/src/*.svg
# into a light and a dark set, each at 1x and 2x, and lists them in
# resources/window/window.qrc. Run it after changing a drawing; commit the
# drawings, the PNG files and the list.
set -eu
cd "$(dirname "$0")/../resources/window"
command -v rsvg-convert >/dev/null || { echo "rsvg-convert is missing (Debian: librsvg2-bin)" >&2; exit 1; }

# The dark set is the same drawings with each light colour replaced:
# highlight, top of the gradient, body, bottom of the gradient, lines, sides.
dark='s/#ffffff/#505050/g; s/#f7f7f7/#3a3a3a/g; s/#e6e6e6/#2e2e2e/g; s/#d4d4d4/#262626/g; s/#b4b4b4/#161616/g; s/#c8c8c8/#1e1e1e/g'

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for set in light dark; do
    mkdir -p "$set"
    for svg in src/*.svg; do
        name=$(basename "$svg" .svg)
        if [ "$set" = dark ]; then
            sed "$dark" "$svg" > "$tmp/$name.svg"
            svg="$tmp/$name.svg"
        fi
        rsvg-convert --zoom 1 "$svg" -o "$set/$name.png"
        rsvg-convert --zoom 2 "$svg" -o "$set/$name@2x.png"
    done
done

{
    echo '<!DOCTYPE RCC>'
    echo '<RCC version="1.0">'
    echo '<qresource prefix="/window">'
    for png in light/*.png dark/*.png; do echo "    <file>$png</file>"; done
    echo '</qresource>'
    echo '</RCC>'
} > window.qrc
echo "made $(ls light/*.png dark/*.png | wc -l) images"
