#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as $1, with further CMake
# options after it). Incremental and cached by ccache, so repeating it is cheap.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
