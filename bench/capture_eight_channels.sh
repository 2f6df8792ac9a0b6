#!/usr/bin/env bash
# Captures all eight channels of one card for a fixed amount of stream time at the air's bitrates and reports
# the tool's peak resident memory and CPU time per second of stream (goal: under 100 MiB, well under one
# core, no block lost). With ZADIVO_SYS set the tool runs that Windows image, and the report adds what trapped.
# Usage: bench/capture_eight_channels.sh [build-dir] [seconds]
set -euo pipefail
build=${1:-build}
seconds=${2:-10}
zadivo="$build/tools/zadivo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/eight_channels.sh"
eight_channel_args "$work"
[ -n "${ZADIVO_SYS:-}" ] && export ZADIVO_SYS_INFO=1
/usr/bin/time -v -o "$work/time.txt" "$zadivo" --state-dir "$work/state" capture "${args[@]}" --seconds "$seconds" \
  >"$work/summary.txt" 2>"$work/stderr.txt" || { cat "$work/stderr.txt" >&2; exit 1; }
cat "$work/summary.txt"
traps=$(sed -n 's/^zadivo: traps: //p' "$work/stderr.txt")
rss_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
user=$(awk -F': ' '/User time/ {print $2}' "$work/time.txt")
sys=$(awk -F': ' '/System time/ {print $2}' "$work/time.txt")
errors=$(awk '{for (i = 1; i < NF; i++) if (tolower($(i+1)) == "continuity") s += $i} END {print s + 0}' "$work/summary.txt")
awk -v rss="$rss_kb" -v u="$user" -v s="$sys" -v t="$seconds" -v e="$errors" -v traps="$traps" 'BEGIN {
  printf "peak RSS %.1f MiB, CPU %.3f s per second of stream (%.1f%% of one core), continuity errors %d%s\n",
         rss / 1024, (u + s) / t, 100 * (u + s) / t, e, traps == "" ? "" : ", traps: " traps }'
