#!/usr/bin/env bash
# Peak memory and time of the stream mode on one large file, for a content
# cipher with a MAC (Кузнечик with its MAC) and one without (Кузнечик): SGEN
# (signature, time stamp from a local authority, no archive), then DCCX on
# what SGEN wrote (its three passes: message information, stamp check,
# verification with the content written). The stream stage chain holds one
# chunk of 100,000,000 bytes and one output per stage; the library's stages
# hold their input and output, never a further copy.
#
#   bench/stream_memory.sh [build folder, default build] [size in GiB, default 4]
#
# The build folder must hold bin/sgen_stream_driver (configure with
# -DQELM_BUILD_BENCH=ON). The file, SGEN's output, DCCX's output and the
# library's anonymous spool files need about five times the size in $TMPDIR
# (default /tmp); the folder is removed at the end. Not a test.
set -euo pipefail

build=${1:-build}
size=${2:-4}
driver=$build/bin/sgen_stream_driver
. "$(dirname "$0")/large_input.sh"

# Runs the driver under /usr/bin/time into secs and mib (its peak).
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time" "$driver" "$@"
  read -r secs kib < "$work/time"
  mib=$((kib / 1024))
}

for cipher in 4 3; do
  if [ "$cipher" = 4 ]; then name="Кузнечик with its MAC"; else name="Кузнечик"; fi
  # A second name of the input: SGEN deletes what it has taken.
  ln "$work/data.bin" "$work/input.bin"
  measure "$work/input.bin" "$work/sgen" "$cipher"
  sealed=$work/sgen/out/input.bin.p7s.p7e
  printf "SGEN stream mode, %s, %d GiB: %s s, peak RSS %d MiB, output %d bytes\n" "$name" "$size" "$secs" "$mib" \
    "$(stat -c %s "$sealed")"
  measure --dccx "$sealed" "$work/dccx" "$cipher"
  same=$(cmp -s "$work/data.bin" "$work/dccx/out/input.bin" && echo "the input byte for byte" || echo "DIFFERENT")
  printf "DCCX stream mode, %s, %d GiB: %s s, peak RSS %d MiB, content: %s\n" "$name" "$size" "$secs" "$mib" "$same"
  rm -rf "$work/sgen" "$work/dccx"
done
