#!/usr/bin/env bash
# The main job of `make run`, against the build folder given: five seconds of channel A of the default air
# (DVB-T, 474 MHz, 8 MHz) captured to a transport-stream file, with the tool's summary.
set -euo pipefail
build=${1:-build}
out="$build/capture-A.ts"
"$build/tools/zadivo" --state-dir "$build/state" capture -c A -f 474000 -b 8 --seconds 5 -o "$out"
echo "zadivo: wrote $out"
