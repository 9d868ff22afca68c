#!/usr/bin/env bash
# Peak memory and time of RESG in stream mode on one large input, in both
# input forms: a stream-encoded attached signature, and a data file with its
# detached signature; both re-signed into a detached output. The stream stage
# chain holds one chunk of 100,000,000 bytes and one output per stage: the
# peak should stay under 300 MB whatever the input's size.
#
#   bench/resg_stream_memory.sh [build folder, default build] [size in GiB, default 4]
#
# The build folder must hold bin/resg_stream_driver (configure with
# -DQELM_BUILD_BENCH=ON). The inputs and outputs need about four times the
# size in $TMPDIR (default /tmp); the folder is removed at the end. Not a test.
set -euo pipefail

build=${1:-build}
size=${2:-4}
driver=$build/bin/resg_stream_driver
. "$(dirname "$0")/large_input.sh"

for form in attached detached; do
  run=$work/$form
  mkdir -p "$run/in"
  if [ "$form" = attached ]; then
    "$driver" sign "$work/data.bin" "$run/in/data.bin.p7s" attached
    name=data.bin.p7s
  else
    cp "$work/data.bin" "$run/in/data.bin"
    "$driver" sign "$run/in/data.bin" "$run/in/data.bin.p7d" detached
    name=data.bin
  fi
  /usr/bin/time -f "%e %M" -o "$work/time" "$driver" resign "$run" "$name" "$form"
  read -r secs kib < "$work/time"
  out=$(stat -c %s "$run/out/data.bin")
  printf "RESG stream mode, %s input, %d GiB: %s s, peak RSS %d MiB, content out %d bytes\n" \
    "$form" "$size" "$secs" $((kib / 1024)) "$out"
  rm -rf "$run"
done
