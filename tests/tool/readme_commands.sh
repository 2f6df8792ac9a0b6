#!/usr/bin/env bash
# Every command the README shows runs as written, so that it cannot go stale: each `build/tools/zadivo ...` line
# of its sh blocks and each `$ build/tools/zadivo ...` of its sample output runs in order, in one temporary
# directory with a state directory of its own, and must exit 0 (a line whose comment says "until Ctrl-C" gets
# SIGINT after a few seconds, and must then exit 0). `make` lines must be targets the Makefile has (dry run),
# and scripts must be there and executable. A tool line may start with environment assignments; one that names
# the Windows image runs on IMAGE, and is skipped (and said so) when there is none.
#   tests/tool/readme_commands.sh ZADIVO_BIN [REPO_DIR [IMAGE]]
set -u
zadivo=$(realpath "${1:?usage: $0 ZADIVO_BIN [REPO_DIR [IMAGE]]}")
repo=$(realpath "${2:-$(dirname "$0")/../..}")
image=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_STATE_HOME="$work/state" ZADIVO_TIME_SCALE=${ZADIVO_TIME_SCALE:-0.05}

# The command lines: sh blocks whole (continuations joined), sample blocks' "$ " lines.
commands=$(awk '
  /^```sh$/ { block = "sh"; next }
  /^```/    { block = (block == "" ? "text" : ""); next }
  block == "sh" {
    line = line $0
    if (sub(/\\$/, "", line)) next
    print line; line = ""; next
  }
  block == "text" && /^\$ / { print substr($0, 3) }
' "$repo/README.md")

failed=0 ran=0
while IFS= read -r line; do
  # What a comment says is for the reader; "until Ctrl-C" is also for us.
  until_interrupt=0
  [[ $line == *"until Ctrl-C"* ]] && until_interrupt=1
  cmd=${line%%  #*}
  cmd=${cmd%% # *}
  cmd=${cmd%"${cmd##*[![:space:]]}"}
  [ -z "$cmd" ] && continue
  assignments=""
  while [[ $cmd =~ ^([A-Z_][A-Z0-9_]*=[^[:space:]]*)[[:space:]]+(.*)$ ]]; do
    assignments+="${BASH_REMATCH[1]} "
    cmd=${BASH_REMATCH[2]}
  done
  if [[ $assignments == *build-win/zadivo.sys* ]]; then
    if [ -z "$image" ]; then
      echo "README: no Windows image, skipped: $assignments$cmd"
      continue
    fi
    assignments=${assignments//build-win\/zadivo.sys/$image}
  fi
  case $cmd in
    build/tools/zadivo*)
      run=$assignments${cmd/build\/tools\/zadivo/\"\$zadivo\"}
      if [ $until_interrupt -eq 1 ]; then
        (cd "$work" && zadivo=$zadivo timeout --preserve-status -s INT -k 60 5 sh -c "exec $run") >"$work/.out" 2>&1
      else
        (cd "$work" && zadivo=$zadivo timeout -k 10 600 sh -c "$run") >"$work/.out" 2>&1
      fi
      ;;
    make\ *)
      (cd "$repo" && make -n ${cmd#make }) >"$work/.out" 2>&1
      ;;
    */*.sh\ *|*/*.sh)
      script=${cmd%% *}
      [ -x "$repo/$script" ] >"$work/.out" 2>&1
      ;;
    *)
      echo "README command of no known kind: $cmd"
      failed=1
      continue
      ;;
  esac
  rc=$?
  ran=$((ran + 1))
  if [ $rc -ne 0 ]; then
    echo "README command failed (exit $rc): $cmd"
    sed 's/^/    /' "$work/.out" | tail -n 20
    failed=1
  fi
done <<<"$commands"
echo "README: $ran commands run"
[ "$ran" -gt 20 ] || { echo "README: too few commands found"; failed=1; }
exit $failed
