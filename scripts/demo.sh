#!/usr/bin/env bash
# Sets everything up, makes the demo library and runs the main job on it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh release

demo=build/demo
python3 examples/make-demo-library.py "$demo/library"
export XDG_CONFIG_HOME="$PWD/$demo/config" XDG_CACHE_HOME="$PWD/$demo/cache"
brisle=build/release/src/app/brisle
"$brisle" library --json --library "$demo/library/iTunes Music Library.xml"
