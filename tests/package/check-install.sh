#!/usr/bin/env bash
# `cmake --install` into a throwaway prefix: the program, its desktop entry,
# metainfo and icons are in place, agree with each other, and pass the
# desktop's own validators.
# Usage: check-install.sh BUILD_DIR
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
cd "$prefix"
fail() { echo "FAIL: $*" >&2; exit 1; }

id=org.brisle.Brisle
desktop=share/applications/$id.desktop
metainfo=share/metainfo/$id.metainfo.xml
for f in bin/brisle "$desktop" "$metainfo" share/icons/hicolor/scalable/apps/$id.svg \
         share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128,256x256}/apps/$id.png; do
    [ -f "$f" ] || fail "$f is not installed"
done
[ -x bin/brisle ] || fail "bin/brisle is not executable"
# What the entry starts and shows is what was installed.
[ "$(sed -n 's/^Exec=//p' "$desktop" | cut -d' ' -f1)" = brisle ] || fail "Exec does not start brisle"
[ "$(sed -n 's/^Icon=//p' "$desktop")" = "$id" ] || fail "Icon is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "the metainfo does not launch $id.desktop"
grep -q '@[A-Z_]*@' "$metainfo" && fail "the metainfo has unfilled placeholders"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" >/dev/null || { appstreamcli validate --no-net "$metainfo"; fail "appstreamcli validate"; }
echo "installed and valid"
