#!/usr/bin/env bash
# Every list of Debian's dtv-scan-tables for a delivery system the card has goes to `zadivo --air`: none may be
# refused, nor may the same lists as libdvbv5 writes them back (dvb-format-convert, a sample of each family).
# Satellite lists (no such system on the card) must each be refused with one line naming file:line, never
# with a crash. Exit 77 (skipped) when the package is not installed.
#   tests/tool/dtv_scan_tables.sh ZADIVO_BIN [TABLES_DIR]
set -u
zadivo=${1:?usage: $0 ZADIVO_BIN [TABLES_DIR]}
tables=${2:-/usr/share/dvb}
if [ ! -d "$tables/dvb-t" ]; then
  echo "dtv-scan-tables is not installed (no $tables/dvb-t): skipped; tools/install-deps.sh ci installs it"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
for family in atsc dvb-c dvb-t isdb-t; do
  files=0 refused=0 warned=0
  for f in "$tables/$family"/*; do
    files=$((files + 1))
    if ! err=$("$zadivo" --air "$f" air 2>&1 >/dev/null); then
      refused=$((refused + 1))
      echo "refused: $err"
    elif [ -n "$err" ]; then
      warned=$((warned + 1))
    fi
  done
  echo "$family: $files files, $refused refused, $warned with warnings"
  [ "$files" -gt 0 ] && [ "$refused" -eq 0 ] || failed=1
  command -v dvb-format-convert >/dev/null || continue
  files=0 refused=0
  for f in $(ls "$tables/$family" | head -n 25); do
    dvb-format-convert -I DVBV5 -O DVBV5 "$tables/$family/$f" "$work/$f" >/dev/null 2>&1 || continue
    files=$((files + 1))
    if ! err=$("$zadivo" --air "$work/$f" air 2>&1 >/dev/null); then
      refused=$((refused + 1))
      echo "refused as libdvbv5 writes it: $err"
    fi
  done
  echo "$family as libdvbv5 writes it: $files files, $refused refused"
  [ "$refused" -eq 0 ] || failed=1
done

files=0 clean=0
for f in "$tables/dvb-s"/*; do
  files=$((files + 1))
  err=$("$zadivo" --air "$f" air 2>&1 >/dev/null)
  rc=$?
  if [ "$rc" -eq 1 ] && [ "$(printf '%s\n' "$err" | wc -l)" -eq 1 ] && [[ $err == "zadivo: $f:"[0-9]*": "* ]]; then
    clean=$((clean + 1))
  else
    echo "dvb-s not refused cleanly (exit $rc): $f: $err"
  fi
done
echo "dvb-s: $files files, $clean refused with file:line"
[ "$clean" -eq "$files" ] || failed=1
exit $failed
