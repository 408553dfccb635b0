#!/usr/bin/env bash
# Installs the Debian packages that building and playing (`game`), testing (`tests`) or packaging (`package`)
# needs.
# Quick and quiet when everything is already there; uses sudo when not run as root.
set -euo pipefail

game_packages=(g++ cmake make pkg-config freeglut3-dev libglu1-mesa-dev libgl1-mesa-dri libopenal-dev libenet-dev
               libsodium-dev libminiupnpc-dev libnatpmp-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev xvfb xdotool x11-utils imagemagick
               clang libclang-rt-14-dev python3)
package_packages=(dpkg-dev file lintian desktop-file-utils appstream man-db)

wanted=("${game_packages[@]}")
if [[ "${1:-game}" == tests ]]; then wanted+=("${test_packages[@]}"); fi
if [[ "${1:-game}" == package ]]; then wanted+=("${package_packages[@]}"); fi

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
# A brand-new machine may have no package lists yet: fetch them only when the first try fails.
if ! "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
