#!/usr/bin/env bash
# Builds the game and runs every test: the release suite, a sample of the mutation tester, the Debian
# package, the same suite under AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer, the
# fuzzers (board files, the network's messages) and the soak under random play.
#
#   bash tools/test.sh            everything (what CI runs)
#   bash tools/test.sh --quick    the release suite only
#
# FUZZ_SECONDS and SOAK_SECONDS (default 60 each) set how long the fuzzers and the soak run; MUTANTS (40)
# and MUTATION_SEED (1) which sample of the mutation tester runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh tests

jobs=$(nproc)
quick=false
[[ "${1:-}" == --quick ]] && quick=true

build() {  # build <folder> [cmake options...]
  local folder=$1
  shift
  cmake -S . -B "$folder" -DTOLVARAN_WERROR=ON "$@" >/dev/null
  # Under pipefail a failed build fails the pipeline; keep the build's own status, not grep's.
  local status=0
  cmake --build "$folder" -j"$jobs" 2>&1 | grep -Ev '^\[ *[0-9]+%\]|^-- |^Consolidate|^Scanning|^Built target' ||
    status=${PIPESTATUS[0]}
  return "$status"
}

suite() {  # suite <folder> <title>
  echo "== $2"
  (cd "$1" && ctest --output-on-failure -j"$jobs" --timeout 900)
}

build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
suite build "release suite"
$quick && exit 0

# A fixed sample of deliberate faults in the game's logic, each of which the unit tests must catch.
echo "== mutation sample: ${MUTANTS:-40} mutants, seed ${MUTATION_SEED:-1}"
python3 tools/mutate.py --sample "${MUTANTS:-40}" --seed "${MUTATION_SEED:-1}"

echo "== the Debian package"
bash tools/test_package.sh

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build build-asan -DCMAKE_BUILD_TYPE=Debug -DTOLVARAN_SANITIZE=address
suite build-asan "AddressSanitizer + UndefinedBehaviorSanitizer suite"

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVARAN_SANITIZE=thread
suite build-tsan "ThreadSanitizer suite"

echo "== fuzzers (board files, network), ${FUZZ_SECONDS:-60} s"
bash tools/fuzz.sh "${FUZZ_SECONDS:-60}"

soak_seconds=${SOAK_SECONDS:-60}
echo "== soak under random play, ${soak_seconds} s, release game"
build/tests/soak "$PWD/build/multiplayer_tolvaran" "$soak_seconds"
echo "== soak under random play, ${soak_seconds} s, ThreadSanitizer game"
build-tsan/tests/soak "$PWD/build-tsan/multiplayer_tolvaran" "$soak_seconds" --sanitized

echo "== all tests passed"
