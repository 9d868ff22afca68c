#!/usr/bin/env bash
# Peak memory and time of SGEN in stream mode (signature, time stamp from a
# local authority, Кузнечик with its MAC, no archive) on one large file. The
# stream stage chain holds one chunk of 100,000,000 bytes and one output per
# stage; the library's stages hold their input and output, never a further
# copy: the peak should stay under 300 MB whatever the file's size.
#
#   bench/stream_memory.sh [build folder, default build] [size in GiB, default 4]
#
# The build folder must hold bin/sgen_stream_driver (configure with
# -DQELM_BUILD_BENCH=ON). The file and the output need about twice the size
# in $TMPDIR (default /tmp); the folder is removed at the end. Not a test.
set -euo pipefail

build=${1:-build}
size=${2:-4}
driver=$build/bin/sgen_stream_driver
. "$(dirname "$0")/large_input.sh"

/usr/bin/time -f "%e %M" -o "$work/time" "$driver" "$work/data.bin" "$work/run"
read -r secs kib < "$work/time"
out=$(stat -c %s "$work/run/out/data.bin.p7s.p7e")
printf "SGEN stream mode, %d GiB: %s s, peak RSS %d MiB, output %d bytes\n" "$size" "$secs" $((kib / 1024)) "$out"
