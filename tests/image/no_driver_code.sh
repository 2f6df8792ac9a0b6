#!/usr/bin/env bash
# Fails when a binary defines a symbol that the driver's libraries define strongly: the programs that run the
# image must carry no driver code of their own.
#   no_driver_code.sh 'LIBRARY...' BINARY...
set -euo pipefail
read -r -a libs <<<"$1"
shift
driver=$(nm --defined-only -g "${libs[@]}" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[TDBR]$/ {print $3}' | sort -u)
count=$(wc -l <<<"$driver")
if [ "$count" -lt 100 ]; then
  echo "no_driver_code: only $count driver symbols in ${libs[*]}: not the driver's libraries?" >&2
  exit 1
fi
status=0
for bin in "$@"; do
  found=$(nm --defined-only "$bin" | awk 'NF == 3 {print $3}' | sort -u | comm -12 - <(echo "$driver"))
  if [ -n "$found" ]; then
    echo "no_driver_code: $bin defines $(wc -l <<<"$found") driver symbols, e.g. $(head -3 <<<"$found" | tr '\n' ' ')" >&2
    status=1
  fi
done
exit $status
