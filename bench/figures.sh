#!/usr/bin/env bash
# Prints the README's "Measured" table from a fresh run of the benchmarks and the eight-channel capture, with
# the machine's load average before and after (other work on the machine shows in the figures).
# Usage: bench/figures.sh [build-dir]
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

before=$(cut -d' ' -f1-3 /proc/loadavg)
"$build/bench/zadivo_bench" --readme-rows >"$work/rows.md" 2>"$work/bench.log" || {
  cat "$work/bench.log" >&2
  exit 1
}
capture=$("$here/capture_eight_channels.sh" "$build" 10 | tail -n 1)
image=${BUILD_WIN:-build-win}/zadivo.sys
image_capture=-
[ -f "$image" ] && image_capture=$(ZADIVO_SYS=$image "$here/capture_eight_channels.sh" "$build" 10 | tail -n 1)
after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "| what | quiet | loaded (eight spinning threads at normal priority) |"
echo "|---|---|---|"
cat "$work/rows.md"
echo "| eight-channel capture with the tool, 10 s of stream at the air's bitrates (about 172 Mbit/s in all) | ${capture} | - |"
echo "| the same capture running the Windows image (ZADIVO_SYS=$image; tunes included in the traps) | ${image_capture} | - |"
echo
echo "Run of $(date -u +%Y-%m-%d) on $(nproc) processors, Release build; load average (1, 5, 15 min) ${before} before," \
  "${after} after."
