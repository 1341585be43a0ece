#!/usr/bin/env bash
# Installs what is missing, builds and starts Vexal Capture in the current folder
# (its state file lives in the working directory).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
exec "$root/build/app/vexal-capture"
