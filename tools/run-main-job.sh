#!/usr/bin/env bash
# The main job of `make run`, against the build folder given.
set -euo pipefail
build=${1:-build}
exec "$build/tools/zadivo_bringup"
