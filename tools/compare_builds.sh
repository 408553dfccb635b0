#!/usr/bin/env bash
# Compares the running game's figures of an older commit with those of this work tree, side by side in one
# run: both games are built with this tree's benchmark sources, then `game_figures --compare` runs each
# build's steady play, paused play and full-board frame alternately, old new old new, and prints the means
# and the ratios new / old. On a busy machine only such ratios hold; note the load it prints with them.
#
#   bash tools/compare_builds.sh <old-commit> [seconds of play per run, default 10]
set -euo pipefail
cd "$(dirname "$0")/.."
old_commit=${1:?usage: tools/compare_builds.sh <old-commit> [seconds]}
seconds=${2:-10}
bash tools/setup.sh tests

old_tree=${TMPDIR:-/tmp}/tolvaran-compare-$(git rev-parse --short "$old_commit")
rm -rf "$old_tree"
mkdir -p "$old_tree"
git archive "$old_commit" | tar -x -C "$old_tree"
# The old game, measured by the same benchmark programs as the new one.
rm -rf "$old_tree/bench" "$old_tree/tests/support"
cp -r bench "$old_tree/bench"
cp -r tests/support "$old_tree/tests/support"

for tree in "$old_tree" "$PWD"; do
  cmake -S "$tree" -B "$tree/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$tree/build" --target game_figures draw_frame -j"$(nproc)" >/dev/null
done

build/bench/game_figures --compare "$old_tree/build/bench" "$PWD/build/bench" "$seconds"
