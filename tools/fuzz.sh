#!/usr/bin/env bash
# Builds the board-file fuzzer with clang++ in build-fuzz/ and runs it, seeded with the shipped boards.
#
#   bash tools/fuzz.sh [SECONDS]     default: $FUZZ_SECONDS, or 60
#
# Fails when the fuzzer finds an input that crashes or breaks an invariant; the input is then kept as
# build-fuzz/crash-* and can be replayed with: build-fuzz/board_fuzz build-fuzz/crash-...
# New interesting inputs are kept in build-fuzz/corpus and reused by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-60}}
jobs=$(nproc)

# clang warns about things g++ does not; the g++ builds hold the tree to -Werror, this one only fuzzes.
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTOLVARAN_FUZZ=ON -DTOLVARAN_WERROR=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! cmake --build build-fuzz -j"$jobs" --target board_fuzz >build-fuzz/build.log 2>&1; then
  grep -Ev '^\[ *[0-9]+%\]|^Consolidate|^Scanning|^Built target' build-fuzz/build.log | tail -n 80
  echo "board fuzzer: build failed (see build-fuzz/build.log)"
  exit 1
fi

mkdir -p build-fuzz/corpus
log=build-fuzz/fuzz.log
if ! build-fuzz/board_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
    -dict=tests/fuzz/board.dict -artifact_prefix=build-fuzz/ build-fuzz/corpus boards >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "board fuzzer: failure found (see $log and build-fuzz/crash-*)"
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$log"
