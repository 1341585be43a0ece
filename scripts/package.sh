#!/usr/bin/env bash
# Builds the Debian package vexal-capture_<version>_<arch>.deb (CMake's install rules,
# packed by CPack) into build/package/, or into <folder>/package/ for a build folder
# given as $1. Install it with: sudo apt install ./build/package/vexal-capture_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
scripts/setup.sh
scripts/build.sh "$dir"
rm -f "$dir"/package/vexal-capture_*.deb
(cd "$dir" && cpack -G DEB --config CPackConfig.cmake)
ls "$dir"/package/vexal-capture_*.deb
