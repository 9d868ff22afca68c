# Sourced by the stream benches: checks that the driver $driver was built,
# makes the work folder $work (removed on exit) with a store of its own, and
# writes $work/data.bin of $size GiB: one random MiB repeated, so that
# writing the input takes less time than the run it feeds.
[ -x "$driver" ] || { echo "no $driver: build with -DQELM_BUILD_BENCH=ON" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QELM_ROOT=$work/root XDG_CONFIG_HOME=$work/config
mkdir -p "$QELM_ROOT" "$XDG_CONFIG_HOME"

head -c 1048576 /dev/urandom > "$work/block"
for _ in $(seq 1 $((size * 1024))); do cat "$work/block"; done > "$work/data.bin"
