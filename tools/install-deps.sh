#!/usr/bin/env bash
# Installs the Debian packages a make target needs, and only those that are absent: a no-op when all are
# present. Used by the Makefile and by .ci/run.
#   tools/install-deps.sh run    what `make run` needs (compiler, CMake, the libraries the build links)
#   tools/install-deps.sh test   run + windows + what the suite uses (the stream analysers, dvb-format-convert,
#                                jq, gdb): the suite runs on the Windows image too
#   tools/install-deps.sh bench  run + what the benchmark figures use (GNU time for the capture's peak memory)
#   tools/install-deps.sh windows  what `make windows` needs (CMake and the mingw-w64 cross toolchain)
#   tools/install-deps.sh ci     test + clang (its build of the suite, fuzzing, static analysis) and the scan
#                                tables
set -euo pipefail

run=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
     libcli11-dev libdvbv5-dev libicu-dev libudev-dev python3)
windows=(cmake ninja-build g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64)
test=("${run[@]}" "${windows[@]}" ffmpeg tstools dvb-tools jq gdb)
bench=("${run[@]}" time)
ci=("${test[@]}" clang clang-tools libclang-rt-14-dev dtv-scan-tables)

case "${1:-test}" in
  run) want=("${run[@]}") ;;
  test) want=("${test[@]}") ;;
  bench) want=("${bench[@]}") ;;
  windows) want=("${windows[@]}") ;;
  ci) want=("${ci[@]}") ;;
  *) echo "usage: $0 run|test|bench|windows|ci" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  [[ " ${missing[*]} " == *" $p "* ]] && continue  # named by two groups
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "zadivo: installing ${missing[*]}" >&2
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo=(sudo -n)
  else
    echo "zadivo: missing packages: ${missing[*]}" >&2
    echo "zadivo: run as root, or: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { "${sudo[@]}" apt-get update -qq && "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "zadivo: could not install: ${missing[*]} (apt-get failed, its last lines above)" >&2
  exit 1
fi
