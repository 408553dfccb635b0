#!/usr/bin/env bash
# Builds the Debian package out/multiplayer-tolvaran_<version>_<arch>.deb and checks it the way Debian
# checks a package: lintian, the desktop entry, the AppStream metadata and the manual page.
#
#   bash tools/package.sh            then: sudo apt install ./out/multiplayer-tolvaran_0.2_amd64.deb
#
# It builds in build/, like tools/play.sh, and prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh package

log=build/package.log
mkdir -p build out
rm -f out/multiplayer-tolvaran_*.deb
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! { cmake --build build -j"$(nproc)" && cpack --config build/CPackConfig.cmake -B "$PWD/out"; } >"$log" 2>&1; then
  grep -Ev '^\[ *[0-9]+%\]|^Consolidate|^Scanning|^Built target' "$log" | tail -n 60
  echo "package: build failed (see $log)"
  exit 1
fi
rm -rf out/_CPack_Packages
deb=$(echo out/multiplayer-tolvaran_*.deb)

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
failed=false
# Each check passes only when it has nothing to say but appstreamcli's plain "successful".
quiet() {  # quiet <title> <command...>
  local said status=0
  said=$("${@:2}" 2>&1) || status=$?
  said=$(grep -vx '✔ Validation was successful.' <<<"$said" || true)
  if [[ $status -ne 0 || -n "$said" ]]; then
    echo "package: $1:"
    echo "$said" | sed 's/^/  /'
    failed=true
  fi
}
# lintian's warnings are printed for the record; only its errors fail the package.
lintian_root=()
[[ $(id -u) -eq 0 ]] && lintian_root=(--allow-root)
lintian "${lintian_root[@]}" --fail-on error --pedantic "$deb" || failed=true
quiet "desktop entry" desktop-file-validate "$unpacked/usr/share/applications/multiplayer-tolvaran.desktop"
# --no-net: the screenshot's address is checked for its form only; fetching it is no part of a build.
quiet "AppStream metadata" appstreamcli validate --no-net --strict --pedantic "$unpacked"/usr/share/metainfo/*.xml
quiet "AppStream tree" appstreamcli validate-tree --no-net --strict "$unpacked"
man_warnings() {  # what groff says while it renders the page, as lintian renders it
  LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$1" 2>&1 >/dev/null
}
quiet "manual page" man_warnings "$unpacked/usr/share/man/man6/multiplayer-tolvaran.6.gz"
$failed && exit 1
echo "$deb"
