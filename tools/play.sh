#!/usr/bin/env bash
# Builds the game and starts it from the repository root, where boards/ is; logs go to logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh game
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target multiplayer_tolvaran -j"$(nproc)" >/dev/null
exec build/multiplayer_tolvaran "$@"
