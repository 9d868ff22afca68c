# Sourced by the benches that run the service. setup_signing_service <name>
# makes a private machine in a temporary folder, $work (its own registry
# store, temporary and journal folders, a test PKI), with a service instance
# <name> whose one rule signs the files of $work/in into $work/out with the
# first user's profile and default settings (block form, attached DER
# signature); failures go to $work/errors. The instance is installed, not
# started; on exit it is stopped and deleted and $work removed. Needs $bin,
# the build's bin folder; sets $work and $profile (the profile's key, for
# settings a bench adds; $work/pki.holders names each holder's DN).

setup_signing_service() {
  local name=$1 program
  for program in mirelservice reg make_test_pki; do
    [ -x "$bin/$program" ] || { echo "no $bin/$program: build the project first" >&2; exit 2; }
  done

  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  export QELM_ROOT="$work/root" XDG_CONFIG_HOME="$work/config" TMPDIR="$work/tmp"
  mkdir -p "$QELM_ROOT" "$XDG_CONFIG_HOME" "$TMPDIR" "$work/logs" "$work/errors" "$work/in" "$work/out"

  # One "holder=owner DN" line per holder, for benches that name recipients.
  "$bin/make_test_pki" "$work/pki" > "$work/pki.holders"
  local base='HKLM\SOFTWARE\TORVAK\qelmservice'
  profile="$base\\$name"
  local key="$profile\\rules\\Rule 1"
  signing_reg add "$base" /v LogPath /t REG_SZ /d "$work/logs" /f
  signing_reg add "$profile" /v ZCSProfile /t REG_MULTI_SZ /d "$name" /f
  signing_reg add "$profile" /v "Handler timeout" /t REG_DWORD /d 1 /f
  signing_reg add "$profile" /v "NotLoadCrl" /t REG_MULTI_SZ /d "1" /f
  signing_reg add "$key" /v Operation /t REG_SZ /d SIGN /f
  signing_reg add "$key" /v "Path In" /t REG_SZ /d "$work/in" /f
  signing_reg add "$key" /v "Path Out" /t REG_SZ /d "$work/out" /f
  signing_reg add "$key" /v "Path Error" /t REG_SZ /d "$work/errors" /f
  signing_reg add "$key" /v Mask /t REG_SZ /d '*.*' /f
  signing_reg add "$key" /v "Is on" /t REG_DWORD /d 1 /f
  signing_reg add "$key" /v ZCSProfile /t REG_SZ /d "$name" /f
  signing_reg add "$key" /v PSE /t REG_SZ /d "$work/pki/user1" /f
  signing_reg add "$key" /v LOCAL /t REG_SZ /d "$work/pki/local" /f

  "$bin/mirelservice" install "$name" > /dev/null
  # Expanded now: the names are fixed from here on.
  trap "\"$bin/mirelservice\" stop \"$name\" > /dev/null 2>&1; \"$bin/mirelservice\" delete \"$name\" > /dev/null 2>&1; rm -rf \"$work\"" EXIT
}

signing_reg() { "$bin/reg" "$@" > /dev/null; }

now() { date +%s.%N; }

# fill_input: $work/in holds a fresh copy of the files of $work/source, and
# $work/out is empty.
fill_input() {
  rm -rf "$work/in" "$work/out"
  mkdir -p "$work/in" "$work/out"
  cp "$work/source/"* "$work/in/"
}

# wait_for_outputs <suffix> <count>: waits until $work/out holds <count>
# files ending in <suffix>; ends the bench when a file went to the error
# folder instead.
wait_for_outputs() {
  while [ "$(find "$work/out" -name "*$1" | wc -l)" -lt "$2" ]; do
    if [ -n "$(ls -A "$work/errors")" ]; then echo "files went to the error folder" >&2; exit 1; fi
    sleep 0.05
  done
}

# instance_pid: the process id of the running instance, from its status file.
instance_pid() {
  sed -n 's/^pid \([0-9]*\)$/\1/p' "$(find "$QELM_ROOT" -name '*.status' | head -n 1)"
}
