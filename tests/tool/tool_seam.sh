#!/usr/bin/env bash
# Fails when an object of the tool other than the emulation's refers to the emulated machine's own code (the
# host's namespaces, the Machine): the rest of the tool reaches the driver through the application's calls.
#   tool_seam.sh OBJECT...
set -euo pipefail
status=0
seen=0
calls=0
for obj in "$@"; do
  case "$obj" in */emulation.cpp.o | */emulation.cpp.obj) continue ;; esac
  syms=$(nm -uC "$obj")
  seen=$((seen + 1))
  if grep -q 'DeviceIoControl' <<<"$syms"; then calls=1; fi
  found=$(grep -E 'host::|zadivo::Machine' <<<"$syms" | sed 's/^ *U //' || true)
  if [ -n "$found" ]; then
    echo "tool_seam: $obj refers to $(wc -l <<<"$found") emulation symbols, e.g. $(head -3 <<<"$found" | tr '\n' ' ')" >&2
    status=1
  fi
done
if [ "$seen" -lt 5 ] || [ "$calls" -ne 1 ]; then
  echo "tool_seam: $seen objects, none calling DeviceIoControl: not the tool's objects?" >&2
  exit 1
fi
exit $status
