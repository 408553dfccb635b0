#!/usr/bin/env bash
# Builds the Debian package (tools/package.sh) and plays it the way a player gets it: unpacked into a scratch
# root, its launcher started from an unrelated folder with a scratch home, under a private Xvfb. In CI
# (CI=true) the package is also installed with apt, played once from /usr/games and removed again.
#
#   bash tools/test_package.sh      (tools/test.sh runs it; it needs the tests' packages from setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/package.sh
deb=$PWD/$(echo out/multiplayer-tolvaran_*.deb)
cmake --build build -j"$(nproc)" --target package_tests >/dev/null

echo "== the package, unpacked"
TOLVARAN_DEB=$deb build/tests/package/package_tests

if [[ "${CI:-}" == true ]]; then
  echo "== the package, installed with apt"
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get install -y -qq "$deb" >/dev/null
  status=0
  TOLVARAN_ROOT=/ build/tests/package/package_tests || status=$?
  "${sudo[@]}" apt-get purge -y -qq multiplayer-tolvaran >/dev/null
  [[ $status -eq 0 ]] || exit "$status"
  if dpkg-query -W -f='${Status}' multiplayer-tolvaran 2>/dev/null | grep -q 'ok installed'; then
    echo "the package is still installed after apt-get purge"
    exit 1
  fi
fi
