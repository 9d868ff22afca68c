#!/usr/bin/env bash
# Kills a service instance with SIGKILL at random moments while it signs a
# few thousand small files, restarts it each time, then lets a last instance
# finish and checks every file: signed once (twice only when it completed
# just before a kill: both signatures kept by the conflict rules), none in
# the error folder, every signature whole (its DER length is its size), no
# ".stp" claim, no temporary output and no scratch file left.
#
#   bench/crash_check.sh [build folder, default build] [seconds of kills, default 60]
#                        [files, default 5000]
#
# The build folder must hold bin/mirelservice, bin/reg and bin/make_test_pki.
# Everything lives in a temporary folder with its own registry store, removed
# at the end. Exit status 0 when every check passed, 1 otherwise.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
seconds=${2:-60}
files=${3:-5000}
bin=$build/bin
# shellcheck source=bench/signing_service.sh
. "$(dirname "$0")/signing_service.sh"
setup_signing_service Crash
# A file signed twice (completed just before a kill) keeps both signatures.
signing_reg add "$profile" /v "Rename conf files" /t REG_DWORD /d 1 /f

# Dropped whole: each file is written aside and renamed into the folder.
mkdir -p "$work/source"
head -c $((files * 1024)) /dev/urandom | split -b 1024 -a 6 - "$work/source/part"
i=0
for part in "$work/source/part"*; do i=$((i + 1)); mv "$part" "$work/source/f$i.bin"; done
mv "$work/source/"* "$work/in/"

service_pid() {
  local status
  status=$(find "$QELM_ROOT" -name '*.status' | head -n 1)
  [ -n "$status" ] && sed -n 's/^pid \([0-9]*\)$/\1/p' "$status"
}
waiting() { find "$work/in" -type f | wc -l; }

kills=0
deadline=$((SECONDS + seconds))
while [ "$SECONDS" -lt "$deadline" ] && [ "$(waiting)" -gt 0 ]; do
  "$bin/mirelservice" start Crash > /dev/null
  # A random moment between 0.1 and 0.8 s after the start.
  sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.2f", 0.1 + 0.7 * r / 32767 }')"
  pid=$(service_pid)
  if [ -n "$pid" ] && kill -9 "$pid" 2> /dev/null; then kills=$((kills + 1)); fi
  # Gone, or a zombie that nobody reaps (a container's first process may not).
  while [ -n "$pid" ] && [ -e "/proc/$pid" ] && [ "$(awk '{ print $3 }' "/proc/$pid/stat" 2> /dev/null)" != Z ]; do
    sleep 0.05
  done
  [ -z "${CRASH_CHECK_TRACE:-}" ] || echo "$SECONDS s: kill $kills, $(waiting) waiting" >&2
done

# A last instance finishes the work (bounded), then stops cleanly.
"$bin/mirelservice" start Crash > /dev/null
limit=$((SECONDS + 120))
while [ "$(waiting)" -gt 0 ] && [ "$SECONDS" -lt "$limit" ]; do sleep 0.2; done
"$bin/mirelservice" stop Crash > /dev/null

failed=0
fail() { echo "FAIL: $*"; failed=1; }
left=$(waiting)
[ "$left" -eq 0 ] || fail "$left files still in the input folder"
[ -z "$(ls -A "$work/errors")" ] || fail "files in the error folder: $(ls "$work/errors" | head -5)"
[ -z "$(find "$work" -name '*.stp')" ] || fail "claims left: $(find "$work" -name '*.stp' | head -5)"
[ -z "$(find "$work/out" -name '.~*')" ] || fail "temporary outputs left: $(find "$work/out" -name '.~*' | head -5)"
[ -z "$(find "$TMPDIR" -name '~xx*.tmp')" ] || fail "scratch files left: $(find "$TMPDIR" -name '~xx*.tmp' | head -5)"

# Signatures per input: f<i>.bin.p7s, or f<i>~<mark>.bin.p7s.
counts=$(find "$work/out" -maxdepth 1 -type f -name 'f*.bin.p7s' -printf '%f\n' |
  sed -n 's/^f\([0-9]*\)\(~[0-9a-f]*\)\{0,1\}\.bin\.p7s$/\1/p' | sort -n | uniq -c)
twice=$(printf '%s\n' "$counts" | awk '$1 == 2' | wc -l)
signed=$(printf '%s\n' "$counts" | awk 'NF == 2' | wc -l)
[ "$signed" -eq "$files" ] || fail "$((files - signed)) files have no signature"
bad=$(printf '%s\n' "$counts" | awk '$1 > 2 { print "f" $2 ".bin" }' | head -5)
[ -z "$bad" ] || fail "signed more than twice: $bad"
for output in "$work/out"/f*.p7s; do
  # A DER SEQUENCE with a two-byte length (0x30 0x82): whole when its
  # length and its header are the file's size.
  read -r tag form high low < <(od -An -tu1 -N4 "$output")
  size=$(stat -c %s "$output")
  if [ "$tag" != 48 ] || [ "$form" != 130 ] || [ $((high * 256 + low + 4)) -ne "$size" ]; then
    fail "$output is not a whole signature ($size bytes)"
  fi
done
others=$(find "$work/out" -maxdepth 1 -type f ! -name 'f*.bin.p7s' | wc -l)
[ "$others" -eq 0 ] || fail "$others unexpected files in the output folder"

echo "files $files, kills $kills, signed twice $twice, failed $failed"
exit "$failed"
