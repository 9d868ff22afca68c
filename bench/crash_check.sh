#!/usr/bin/env bash
# Kills a service instance with SIGKILL at random moments while it works on a
# few thousand files, restarts it each time, then lets a last instance finish
# and checks every file. Three rules, with masks that never match a claimed
# (".stp") name, and their error folder on another file system (/dev/shm), so
# that a failed input is copied there:
#   1. ENCR in block mode, enc-in/*.bin -> enc-out: files of 1 KiB and every
#      50th of 1 MiB, whose message the library first writes into a work file
#      beside the output;
#   2. SGEN, sg-in/*.bin -> sealed, and
#   3. DCCX, sealed/*.p7e -> opened, which gives back the files SGEN took
#      (1 KiB, every 100th 512 KiB) and sends the undecryptable files dropped
#      into sealed (1 KiB, every 50th 1 MiB) to the error folder;
#   4. PACK, pk-in/*.bin -> packed: every file listed in a cycle (1 KiB each,
#      a ninth as many as each of the others) into one archive.
# Every other instance is killed not at a random moment but at the step a
# random kill rarely hits: the test build's kill point (QELM_TEST_KILL, through
# the instance's environment) after a file's outputs are published and before
# its input is deleted (an archive's, for PACK), or after a failed input's
# copy is published in the error folder and before the input is deleted, or
# after an archive's inputs' records name it and before it has its name, at
# a random file of the run.
# Checked after the last run: every input accounted for exactly once (a file
# done twice fails the check), and only where it belongs (an encrypted message, the file given back, the
# error folder, one archive's entry); every encrypted message whole (its DER
# length is its size), every archive whole and every entry equal to its original,
# every file given back or in the error folder equal to its original; no
# claim (".stp", nor a claim record), temporary output, work file or scratch
# file left anywhere.
#
#   bench/crash_check.sh [build folder, default build] [seconds of kills, default 60]
#                        [files, default 3000]
#
# The build folder must hold bin/mirelservice, bin/reg and bin/make_test_pki.
# Everything lives in temporary folders with their own registry store,
# removed at the end. Exit status 0 when every check passed, 1 otherwise.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
seconds=${2:-60}
files=${3:-3000}
bin=$build/bin
# shellcheck source=bench/signing_service.sh
. "$(dirname "$0")/signing_service.sh"
setup_signing_service Crash
errors=$(mktemp -d /dev/shm/crash-check-XXXXXX)
trap "\"$bin/mirelservice\" stop Crash > /dev/null 2>&1; \"$bin/mirelservice\" delete Crash > /dev/null 2>&1; rm -rf \"$work\" \"$errors\"" EXIT
[ "$(stat -c %d "$errors")" != "$(stat -c %d "$work")" ] || { echo "/dev/shm is on the work folder's file system" >&2; exit 2; }

# A file done twice would keep both outputs (and be counted as such).
signing_reg add "$profile" /v "Rename conf files" /t REG_DWORD /d 1 /f
dn=$(sed -n 's/^user1=//p' "$work/pki.holders")
rule() {  # rule <n> <operation> <in> <out> <mask>
  local key="$profile\\rules\\Rule $1"
  mkdir -p "$work/$3" "$work/$4"
  signing_reg add "$key" /v Operation /t REG_SZ /d "$2" /f
  signing_reg add "$key" /v "Path In" /t REG_SZ /d "$work/$3" /f
  signing_reg add "$key" /v "Path Out" /t REG_SZ /d "$work/$4" /f
  signing_reg add "$key" /v "Path Error" /t REG_SZ /d "$errors" /f
  signing_reg add "$key" /v Mask /t REG_SZ /d "$5" /f
  signing_reg add "$key" /v "Is on" /t REG_DWORD /d 1 /f
  signing_reg add "$key" /v ZCSProfile /t REG_SZ /d Crash /f
  signing_reg add "$key" /v PSE /t REG_SZ /d "$work/pki/user1" /f
  signing_reg add "$key" /v LOCAL /t REG_SZ /d "$work/pki/local" /f
}
rule 1 ENCR enc-in enc-out '*.bin'
rule 2 SGEN sg-in sealed '*.bin'
rule 3 DCCX sealed opened '*.p7e'
rule 4 PACK pk-in packed '*.bin'
signing_reg add "$profile\\rules\\Rule 4" /v ArchName /t REG_SZ /d batch /f
signing_reg add "$profile\\rules\\Rule 4" /v ArchCount /t REG_DWORD /d 0 /f
for n in 1 2; do
  signing_reg add "$profile\\rules\\Rule $n" /v "Ext num" /t REG_DWORD /d 1 /f
  signing_reg add "$profile\\rules\\Rule $n" /v C0 /t REG_SZ /d "$dn" /f
done

# The originals, kept for the checks; each dropped whole (written aside and
# renamed into the folder).
third=$((files / 3))
mkdir -p "$work/ref" "$work/drop"
make_files() {  # make_files <prefix> <count> <every> <large size> <suffix>
  local i part
  head -c $(($2 * 1024)) /dev/urandom | split -b 1024 -a 6 - "$work/drop/part"
  i=0
  for part in "$work/drop/part"*; do i=$((i + 1)); mv "$part" "$work/ref/$1$i$5"; done
  for ((i = $3; i <= $2; i += $3)); do head -c "$4" /dev/urandom > "$work/ref/$1$i$5"; done
}
make_files f "$third" 50 $((1 << 20)) .bin
make_files s "$third" 100 $((512 << 10)) .bin
make_files g "$third" 50 $((1 << 20)) .bin.p7s.p7e
packs=$((third / 9))
make_files p "$packs" $((packs + 1)) 0 .bin
drop() {  # drop <prefix> <folder>
  cp "$work/ref/$1"* "$work/drop/"
  mv "$work/drop/"* "$work/$2/"
}
drop f enc-in
drop s sg-in
drop g sealed
drop p pk-in

service_pid() {
  local status
  status=$(find "$QELM_ROOT" -name '*.status' | head -n 1)
  [ -n "$status" ] && sed -n 's/^pid \([0-9]*\)$/\1/p' "$status"
}
waiting() { find "$work/enc-in" "$work/sg-in" "$work/sealed" "$work/pk-in" -type f | wc -l; }

# The instance's environment (its service entry's), with a kill point or
# without.
environment() {  # environment [kill point]
  local text="XDG_CONFIG_HOME=$XDG_CONFIG_HOME\\0TMPDIR=$TMPDIR\\0PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
  [ -z "${1:-}" ] || text="$text\\0QELM_TEST_KILL=$1"
  signing_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\qelmservice-Crash' /v Environment /t REG_MULTI_SZ /d "$text" /f
}
alive() { [ -n "$1" ] && [ -e "/proc/$1" ] && [ "$(awk '{ print $3 }' "/proc/$1/stat" 2> /dev/null)" != Z ]; }

kills=0
stepKills=0
round=0
deadline=$((SECONDS + seconds))
while [ "$SECONDS" -lt "$deadline" ] && [ "$(waiting)" -gt 0 ]; do
  round=$((round + 1))
  if [ $((round % 2)) -eq 0 ]; then
    # At the step itself: the instance kills itself there, at a random one
    # of the first files it completes (or fails) in this run.
    case $((RANDOM % 3)) in
      0) step=outputs-published ;;
      1) step=copy-published ;;
      *) step=publishing-noted ;;
    esac
    environment "$step:$((1 + RANDOM % 40))"
    "$bin/mirelservice" start Crash > /dev/null
    environment
    pid=$(service_pid)
    limit=$((SECONDS + 20))
    while alive "$pid" && [ "$SECONDS" -lt "$limit" ]; do sleep 0.05; done
    if alive "$pid"; then
      "$bin/mirelservice" stop Crash > /dev/null  # the step was not reached: nothing left of that kind
    else
      stepKills=$((stepKills + 1))
    fi
    continue
  fi
  "$bin/mirelservice" start Crash > /dev/null
  # A random moment between 0.2 and 2 s after the start (a shorter window
  # could, on a loaded machine, kill every instance before it finishes the
  # first large file).
  sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.2f", 0.2 + 1.8 * r / 32767 }')"
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
limit=$((SECONDS + 300))
while [ "$(waiting)" -gt 0 ] && [ "$SECONDS" -lt "$limit" ]; do sleep 0.2; done
"$bin/mirelservice" stop Crash > /dev/null

failed=0
fail() { echo "FAIL: $*"; failed=1; }
left=$(waiting)
[ "$left" -eq 0 ] || fail "$left files still in the input folders: $(find "$work/enc-in" "$work/sg-in" "$work/sealed" "$work/pk-in" -type f | head -5)"
stp=$(find "$work" "$errors" -name '*.stp' | head -5)
[ -z "$stp" ] || fail "claims left: $stp"
records=$(find "$QELM_ROOT" -path '*/Claims/*' -type f | head -5)
[ -z "$records" ] || fail "claim records left: $records"
temporary=$(find "$work/enc-out" "$work/sealed" "$work/opened" "$work/packed" "$errors" -name '.~*' | head -5)
[ -z "$temporary" ] || fail "temporary outputs or work files left: $temporary"
scratch=$(find "$TMPDIR" -name '~xx*' | head -5)
[ -z "$scratch" ] || fail "scratch files left: $scratch"

# The bare original name of an output: <prefix><i>, a conflict mark dropped.
original() { sed -n "s/^\\($1[0-9]*\\)\\(~[0-9a-f]*\\)\\{0,1\\}$2\$/\\1/p"; }
# count <folder> <prefix> <suffix>: "<times> <name>" per original found.
count() { find "$1" -maxdepth 1 -type f -printf '%f\n' | original "$2" "$3" | sort | uniq -c; }
# expect_all <what> <prefix> <counts> [files, default the third]: each
# present exactly once.
twice=0
expect_all() {
  local present more expected=${4:-$third}
  present=$(printf '%s\n' "$3" | awk 'NF == 2' | wc -l)
  [ "$present" -eq "$expected" ] || fail "$1: $((expected - present)) of $expected missing"
  more=$(printf '%s\n' "$3" | awk '$1 > 1 { print $2 }' | head -5)
  [ -z "$more" ] || fail "$1: done more than once: $more"
  twice=$((twice + $(printf '%s\n' "$3" | awk '$1 > 1' | wc -l)))
}
expect_all "encrypted" f "$(count "$work/enc-out" f '\.bin\.p7e')"
expect_all "given back" s "$(count "$work/opened" s '\.bin')"
expect_all "in the error folder" g "$(count "$errors" g '\.bin\.p7s\.p7e')"
# Every archive whole; its entries, over all archives, each original once.
for archive in "$work/packed"/*; do
  unzip -tqq "$archive" > /dev/null 2>&1 || fail "$archive is not a whole archive"
done
entries() { for archive in "$work/packed"/*; do unzip -Z1 "$archive"; done; }
expect_all "packed" p "$(entries | original p '\.bin' | sort | uniq -c)" "$packs"
others=$(find "$work/enc-out" "$work/opened" "$errors" "$work/sealed" -type f |
  grep -Ev '/enc-out/f[0-9]+(~[0-9a-f]+)?\.bin\.p7e$|/opened/s[0-9]+(~[0-9a-f]+)?\.bin$|/g[0-9]+(~[0-9a-f]+)?\.bin\.p7s\.p7e$' |
  head -5 || true)
[ -z "$others" ] || fail "files where none belongs: $others"

# Whole: an encrypted message's DER length is its size; every file given
# back or in the error folder is its original.
for output in "$work/enc-out"/*.p7e; do
  read -r -a b < <(od -An -tu1 -N6 "$output")
  size=$(stat -c %s "$output")
  if [ "${b[1]}" -lt 128 ]; then
    total=$((2 + b[1]))
  else
    n=$((b[1] - 128)) length=0
    for ((k = 0; k < n; k++)); do length=$((length * 256 + b[2 + k])); done
    total=$((2 + n + length))
  fi
  [ "${b[0]}" = 48 ] && [ "$total" -eq "$size" ] || fail "$output is not a whole message ($size bytes)"
done
for copy in "$work/opened"/* "$errors"/*; do
  name=$(basename "$copy" | sed 's/~[0-9a-f]*\././')
  cmp -s "$copy" "$work/ref/$name" || fail "$copy differs from its original"
done

for archive in "$work/packed"/*; do
  unzip -Z1 "$archive" | while read -r entry; do
    unzip -p "$archive" "$entry" | cmp -s - "$work/ref/$entry" || echo "$archive: $entry differs from its original"
  done
done > "$work/entries.diff"
[ ! -s "$work/entries.diff" ] || fail "$(head -5 "$work/entries.diff")"

echo "files $((3 * third + packs)), kills $kills at random moments and $stepKills at the publish/delete step, done twice $twice, failed $failed"
exit "$failed"
