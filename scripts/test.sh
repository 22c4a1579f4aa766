#!/usr/bin/env bash
# Sets everything up and runs every test: the release build's tests, the
# sanitizer build's tests, and a bounded fuzzing run of the property-list reader.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh release asan

echo "== release tests"
ctest --preset release -j2
echo "== sanitizer tests"
ctest --preset asan -j2
echo "== fuzzing the property-list reader"
fuzz/build-and-run.sh "${BRISLE_FUZZ_SECONDS:-60}"
echo "All tests passed."
