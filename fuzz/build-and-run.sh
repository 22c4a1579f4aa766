#!/usr/bin/env bash
# Builds the property-list fuzzer and runs it for a bounded time.
#   fuzz/build-and-run.sh [seconds]     (default 60)
# Exits non-zero when the fuzzer finds a crash; the input that caused it is
# left in build-fuzz/artifacts/, the fuzzer's output in build-fuzz/fuzz.log. The seeds in fuzz/corpus/ are only read; new
# inputs collect in build-fuzz/corpus/ and are reused by the next run.
set -euo pipefail

seconds="${1:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out="${FUZZ_OUT:-$root/build-fuzz}"
cxx="${FUZZ_CXX:-clang++-14}"

mkdir -p "$out/corpus" "$out/artifacts"
# A 64-byte XML chunk makes every input cross chunk boundaries; the library
# assertions catch out-of-range indexing that stays inside a live buffer.
"$cxx" -std=c++2b -stdlib=libstdc++ -g -O1 -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -I "$root/src" -include "$here/expected_compat.h" \
    -DBRISLE_PLIST_XML_CHUNK=64 -D_GLIBCXX_ASSERTIONS \
    "$root"/src/platform/plist/*.cpp "$here/plist_xml_fuzzer.cpp" -o "$out/plist_xml_fuzzer"

# The fuzzer writes a line per new input; they go to a log, and the summary
# (or, after a crash, the end of the log) is printed.
log="$out/fuzz.log"
echo "Fuzzing for ${seconds} s; the fuzzer's output is in $log"
status=0
"$out/plist_xml_fuzzer" "$out/corpus" "$here/corpus" \
    -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$out/artifacts/" -print_final_stats=1 >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "The fuzzer failed (exit $status); the input is in $out/artifacts/"
    exit "$status"
fi
grep -E '^(Done [0-9]+ runs|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$log"
