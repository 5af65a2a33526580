#!/bin/sh
# The program itself under the virtual X server: it starts on the simulated scanner, shows the main
# screen, connects, opens the qvk file given on its command line in the 3D viewer (a screenshot of
# it is kept as the third argument names), and ends cleanly on its own, leaving no simulated port
# behind.
set -u
quorvel=$1
helper=$2
screenshot=${3:-}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export HOME="$dir" XDG_DATA_HOME="$dir/data" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state"
export XDG_RUNTIME_DIR="$dir/run" QUORVEL_SIM_DIR="$dir/sim"
mkdir -m 700 "$dir/run"
"$helper" --write-sample-qvk "$dir/vase.qvk" || { echo "could not write the sample scan"; exit 1; }

[ -n "$screenshot" ] || screenshot="$dir/viewer.png"
mkdir -p "$(dirname "$screenshot")"
rm -f "$screenshot"
QUORVEL_LAUNCH_PROBE=1 QUORVEL_QUIT_WHEN=connected+opened QUORVEL_PROBE_SCREENSHOT="$screenshot" \
  timeout 60 "$quorvel" --simulator "$dir/vase.qvk" >"$dir/out.txt" 2>"$dir/err.txt"
status=$?
fail() {
  echo "$1"
  echo "--- stdout"; cat "$dir/out.txt"
  echo "--- stderr (tail)"; tail -n 40 "$dir/err.txt"
  exit 1
}
[ "$status" -eq 0 ] || fail "quorvel ended with status $status"
grep -q '^QUORVEL_PROBE shown' "$dir/out.txt" || fail "the main screen was never shown"
grep -q '^QUORVEL_PROBE connected' "$dir/out.txt" || fail "the simulated scanner was not connected"
grep -q '^QUORVEL_PROBE opened' "$dir/out.txt" || fail "the scan given on the command line was not opened"
grep -q 'Request to open file: .*vase.qvk' "$dir/err.txt" || fail "the file was not handed to the screens"
# The viewer drew every point of the scan, and the window then shows a picture, not a flat page.
points=$("$helper" --sample-qvk-points)
grep -q "^QUORVEL_PROBE opened points=$points\$" "$dir/out.txt" || fail "the viewer does not show the scan's $points points"
"$helper" --check-screenshot "$screenshot" || fail "the viewer's screenshot $screenshot looks blank"
[ -z "$(ls -A "$dir/sim" 2>/dev/null)" ] || fail "the simulated port was left behind: $(ls "$dir/sim")"
echo "quorvel started, connected, opened the scan and quit cleanly"
