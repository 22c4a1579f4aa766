#!/usr/bin/env bash
# Builds the Debian package with CPack, checks its control fields and
# contents, that every library the program loads comes from a package it
# depends on, and runs `brisle --help` from the unpacked tree.
# Usage: check-deb.sh BUILD_DIR VERSION
set -euo pipefail
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB -B "$out" --config "$1/CPackConfig.cmake" >/dev/null
deb=$(echo "$out"/brisle_*.deb)
[ -f "$deb" ] || fail "no package made"
[ "$(dpkg-deb -f "$deb" Package)" = brisle ] || fail "Package"
[ "$(dpkg-deb -f "$deb" Version)" = "$2" ] || fail "Version is $(dpkg-deb -f "$deb" Version), not $2"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture"
depends=$(dpkg-deb -f "$deb" Depends)
depended=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")  # the names alone, one a line

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/brisle ./usr/share/applications/org.brisle.Brisle.desktop ./usr/share/metainfo/org.brisle.Brisle.metainfo.xml \
         ./usr/share/icons/hicolor/scalable/apps/org.brisle.Brisle.svg ./usr/share/icons/hicolor/48x48/apps/org.brisle.Brisle.png; do
    grep -qxF "$f" <<<"$contents" || fail "$f is not in the package"
done
grep -v -E '^\./usr/(bin|share/(applications|metainfo|icons))(/|$)|^\./(usr/(share/)?)?$' <<<"$contents" && fail "stray files in the package"

dpkg-deb -x "$deb" "$out/root"
program="$out/root/usr/bin/brisle"
multiarch=$(gcc -print-multiarch)
for lib in $(objdump -p "$program" | awk '/NEEDED/ {print $2}'); do
    pkg=$(dpkg -S "*/$multiarch/$lib" 2>/dev/null | head -1 | cut -d: -f1)
    [ -n "$pkg" ] || fail "no installed package holds $lib"
    grep -qxF "$pkg" <<<"$depended" || fail "$lib comes from $pkg, which the package does not depend on: $depends"
done
help=$("$program" --help) || fail "brisle --help failed"
grep -q sync <<<"$help" || fail "brisle --help does not list its commands"
[ "$("$program" --version)" = "brisle $2" ] || fail "the program says it is $("$program" --version), the package $2"
echo "package $(basename "$deb") checked"
