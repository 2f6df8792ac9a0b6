#!/usr/bin/env bash
# Every tuner at once, against one tuner, in the same run:
#   - the wall time of a default scan of each family (services read) with all eight tuners and with one;
#   - the platform time from the start of a capture to the first packet of the last of eight channels, and
#     of one channel captured alone.
# Ratios travel better than the absolute times. Usage:
#   bench/tuners_at_once.sh [build-dir] [time-scale] [tuner types...]   (default: build 1 "1 3 4 5 6 7 8")
set -euo pipefail
build=${1:-build}
scale=${2:-1}
shift $(($# < 2 ? $# : 2))
types=("$@")
[ ${#types[@]} -gt 0 ] || types=(1 3 4 5 6 7 8)
zadivo="$build/tools/zadivo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
z() { "$zadivo" --state-dir "$work/state" --time-scale "$scale" "$@"; }

family() { z tuner-type get | sed 's/^[0-9]* (\(.*\))$/\1/'; }

echo "scan, default plan, time scale $scale"
for t in "${types[@]}"; do
  z tuner-type set "$t"
  for n in 1 8; do
    start=$(date +%s.%N)
    z scan --tuners "$n" -o "$work/scan-$n.conf" 2>"$work/scan-$n.err"
    echo "$(date +%s.%N) $start" | awk '{ print $1 - $2 }' >"$work/wall-$n"
  done
  same=$(cmp -s "$work/scan-1.conf" "$work/scan-8.conf" && echo "same file" || echo "FILES DIFFER")
  found=$(tail -n 1 "$work/scan-8.err")
  awk -v f="$(family)" -v a="$(cat "$work/wall-1")" -v b="$(cat "$work/wall-8")" -v s="$same" -v r="${found#scan: }" 'BEGIN {
    printf "  %-9s 1 tuner %7.1f s, 8 tuners %6.1f s: %.2fx (%s, %s)\n", f, a, b, a / b, r, s }'
done

z tuner-type set 1
source "$(dirname "$0")/eight_channels.sh"
eight_channel_args "$work"
first() { sed 's/},{/}\n{/g' | sed -n 's/.*"first_packet_s":\([0-9.]*\).*/\1/p' | sort -g | tail -n 1; }
one=$(z --json capture -c A -f 474000 -b 8 -o "$work/one.ts" --seconds 1 | first)
eight=$(z --json capture "${args[@]}" --seconds 1 | first)
awk -v a="$one" -v b="$eight" 'BEGIN {
  printf "capture to the first packet: 1 channel %.3f s, last of 8 channels %.3f s: %.2fx\n", a, b, b / a }'
