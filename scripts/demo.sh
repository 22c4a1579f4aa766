#!/usr/bin/env bash
# Sets everything up, makes the demo library and a demo player, chooses part of
# the library and syncs it onto the player, then shows what is on it.
# With --window it opens the window on the demo library and player instead,
# with nothing chosen yet: drag from the library on the left.
set -euo pipefail
window=false
[ "${1:-}" = "--window" ] && window=true
cd "$(dirname "$0")/.."

scripts/setup.sh release

demo="$PWD/build/demo"
brisle="$PWD/build/release/src/brisle"
python3 examples/make-demo-library.py "$demo/library"
library="$demo/library/iTunes Music Library.xml"

# A fresh start: settings, cache and player.
rm -rf "$demo/config" "$demo/cache" "$demo/volumes" "$demo/player.img"
export XDG_CONFIG_HOME="$demo/config" XDG_CACHE_HOME="$demo/cache" BRISLE_VOLUMES="$demo/volumes"
player="$demo/volumes/PLAYER"
mkdir -p "$player"

# The player: a FAT32 image mounted through FUSE where that is possible, as a
# real MP3 player or memory card would be; a plain folder otherwise.
if [ -e /dev/fuse ] && command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null; then
    mkfs.vfat -C -F 32 -n PLAYER "$demo/player.img" 65536 >/dev/null
    # fusefat describes the volume on its error output as it mounts it.
    fusefat -o rw+ "$demo/player.img" "$player" >"$demo/fusefat.log" 2>&1 || { cat "$demo/fusefat.log"; exit 1; }
    trap 'mountpoint -q "$player" && fusermount -u "$player" || true' EXIT
    echo "== The player: a FAT32 image mounted at $player"
else
    mkdir -p "$player/Music"
    echo "== The player: the folder $player (no FUSE here)"
fi

b() { echo "\$ brisle $*"; "$brisle" "$@" --library "$library"; }

if $window; then
    b config set pathToPlayer "$player/Music"
    echo "== The window (close it to end the demo)"
    "$brisle" --library "$library"
    exit 0
fi

echo "== Choosing what goes on the player"
b config set pathToPlayer "$player/Music"
b select add-playlist Favourites
b select add-album "Greatest Hits"
b select add-album "Field Recordings"
b select add-song "Untitled Demo?"
b select check "Greatest Hits" "Square Peg" off
b select list

echo "== Syncing (songs the player can't play are converted to MP3)"
# On a terminal the progress is one line rewritten in place; a log gets only
# the outcome (-v would give a line per step).
if [ -t 1 ]; then b sync; else b sync -q; fi
echo "== What is on the player now"
(cd "$player" && find Music -type f | sort)
echo "== A second sync finds nothing to do"
b sync
if [ -f "$demo/player.img" ]; then
    echo "== The player is the FAT32 image $demo/player.img; look inside it with:"
    echo "   mdir -i \"$demo/player.img\" -/ ::"
fi
