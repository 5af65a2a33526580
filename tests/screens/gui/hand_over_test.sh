#!/bin/sh
# Two launches of the program in one login session: the second hands its scan to the first and
# ends; a launch in another session (another runtime folder, the same temporary folder) is an
# instance of its own and hands nothing over, so that a test never reaches the user's Quorvel.
set -u
quorvel=$1
helper=$2
dir=$(mktemp -d)
first=
cleanup() {
  [ -z "$first" ] || { kill "$first" 2>/dev/null; wait "$first" 2>/dev/null; }
  rm -rf "$dir"
}
trap cleanup EXIT
. "$(dirname "$0")/patience.sh"
export TMPDIR="$dir/tmp"
mkdir -p "$TMPDIR"
unset QUORVEL_SIMULATOR QUORVEL_QUIT_WHEN
# The user folders of session $1, as assignments for env (the paths hold no spaces).
session() {
  mkdir -p -m 700 "$dir/$1/run"
  echo "HOME=$dir/$1 XDG_DATA_HOME=$dir/$1/data XDG_CONFIG_HOME=$dir/$1/config XDG_STATE_HOME=$dir/$1/state" \
    "XDG_RUNTIME_DIR=$dir/$1/run QUORVEL_SIM_DIR=$dir/$1/sim QUORVEL_LAUNCH_PROBE=1"
}
fail() {
  echo "$1"
  for f in "$dir"/*.out "$dir"/*.err; do
    [ -f "$f" ] && { echo "--- $(basename "$f") (tail)"; tail -n 20 "$f"; }
  done
  exit 1
}
"$helper" --write-sample-qvk "$dir/vase.qvk" && "$helper" --write-sample-qvk "$dir/bowl.qvk" ||
  fail "could not write the sample scans"

env $(session one) "$quorvel" >"$dir/first.out" 2>"$dir/first.err" &
first=$!
await has_line "$dir/first.out" '^QUORVEL_PROBE shown' || fail "the first instance never showed its main screen"
[ -S "$dir/one/run/quorvel-instance" ] || fail "the first instance listens outside its runtime folder"

# The same session: handed over, and the first instance shows the scan.
env $(session one) timeout "$patience" "$quorvel" "$dir/vase.qvk" >"$dir/second.out" 2>"$dir/second.err"
status=$?
[ "$status" -eq 0 ] || fail "the second launch ended with status $status"
! grep -q '^QUORVEL_PROBE shown' "$dir/second.out" || fail "the second launch showed a window of its own"
await has_line "$dir/first.err" 'Request to open file: .*vase.qvk' || fail "the first instance was not handed the scan"
await has_line "$dir/first.out" '^QUORVEL_PROBE opened points=' || fail "the first instance did not show the handed scan"

# Another session: its own instance opens its scan, and the first hears nothing of it.
env $(session two) QUORVEL_QUIT_WHEN=opened timeout "$patience" "$quorvel" "$dir/bowl.qvk" >"$dir/other.out" 2>"$dir/other.err"
status=$?
[ "$status" -eq 0 ] || fail "the launch in another session ended with status $status"
grep -q '^QUORVEL_PROBE opened points=' "$dir/other.out" || fail "the launch in another session did not open its scan"
! grep -q 'bowl.qvk' "$dir/first.err" || fail "the launch in another session reached the first instance"

kill "$first"
wait "$first"
status=$?
first=
[ "$status" -eq 0 ] || fail "the first instance ended with status $status after SIGTERM"
[ ! -e "$dir/one/run/quorvel-instance" ] || fail "the first instance left its socket behind"
echo "the second launch handed its scan over; the launch in another session did not"
