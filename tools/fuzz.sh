#!/usr/bin/env bash
# Builds the fuzzers with clang++ in build-fuzz/ and runs them one after the other, each for a third of the
# time: the board-file fuzzer, seeded with the shipped boards; the network fuzzer (the message decoders, the
# sealed link and both sides' sessions fed what a stranger might send); and the guest fuzzer (a guest told
# anything at all by a host that joined it properly).
#
#   bash tools/fuzz.sh [SECONDS]     default: $FUZZ_SECONDS, or 60, for both together
#
# Fails when a fuzzer finds an input that crashes or breaks an invariant; the input is then kept as
# build-fuzz/crash-* and can be replayed with: build-fuzz/board_fuzz build-fuzz/crash-... (or net_fuzz,
# guest_fuzz).
# New interesting inputs are kept in build-fuzz/corpus (boards) and build-fuzz/net-corpus and reused by the
# next run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-60}}
jobs=$(nproc)

# clang warns about things g++ does not; the g++ builds hold the tree to -Werror, this one only fuzzes.
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTOLVARAN_FUZZ=ON -DTOLVARAN_WERROR=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! cmake --build build-fuzz -j"$jobs" --target board_fuzz net_fuzz guest_fuzz >build-fuzz/build.log 2>&1; then
  grep -Ev '^\[ *[0-9]+%\]|^Consolidate|^Scanning|^Built target' build-fuzz/build.log | tail -n 80
  echo "fuzzers: build failed (see build-fuzz/build.log)"
  exit 1
fi

third=$(( (seconds + 2) / 3 ))
run() {  # run <fuzzer> <corpus> <max_len> <dictionary> [seed folders...]
  local fuzzer=$1 corpus=$2 max_len=$3 dict=$4
  shift 4
  mkdir -p "$corpus"
  local log=build-fuzz/$fuzzer.log
  echo "-- $fuzzer, $third s"
  if ! "build-fuzz/$fuzzer" -max_total_time="$third" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
      -dict="$dict" -artifact_prefix=build-fuzz/ "$corpus" "$@" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$fuzzer: failure found (see $log and build-fuzz/crash-*)"
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$log"
}
run board_fuzz build-fuzz/corpus 4096 tests/fuzz/board.dict boards
run net_fuzz build-fuzz/net-corpus 9000 tests/fuzz/net.dict
run guest_fuzz build-fuzz/guest-corpus 4096 tests/fuzz/net.dict
