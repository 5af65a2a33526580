#!/bin/sh
# The program where no OpenGL can be had (the platform and display the environment names): it starts
# on the simulated scanner, shows the main screen, connects, opens the qvk file given on its command
# line, says in the viewer and its log why the scene cannot be drawn, and ends cleanly on its own.
set -u
quorvel=$1
helper=$2
screenshot=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
. "$(dirname "$0")/patience.sh"
export HOME="$dir" XDG_DATA_HOME="$dir/data" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state"
export XDG_RUNTIME_DIR="$dir/run" QUORVEL_SIM_DIR="$dir/sim"
mkdir -m 700 "$dir/run"
"$helper" --write-sample-qvk "$dir/vase.qvk" || { echo "could not write the sample scan"; exit 1; }
mkdir -p "$(dirname "$screenshot")"
rm -f "$screenshot"
QUORVEL_LAUNCH_PROBE=1 QUORVEL_QUIT_WHEN=connected+opened QUORVEL_PROBE_SCREENSHOT="$screenshot" \
  timeout "$patience" "$quorvel" --simulator "$dir/vase.qvk" >"$dir/out.txt" 2>"$dir/err.txt"
status=$?
fail() {
  echo "$1 (QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-} QT_XCB_GL_INTEGRATION=${QT_XCB_GL_INTEGRATION:-})"
  echo "--- stdout"; cat "$dir/out.txt"
  echo "--- stderr (tail)"; tail -n 20 "$dir/err.txt"
  exit 1
}
[ "$status" -eq 0 ] || fail "quorvel ended with status $status"
grep -q '^QUORVEL_PROBE shown' "$dir/out.txt" || fail "the main screen was never shown"
grep -q '^QUORVEL_PROBE connected' "$dir/out.txt" || fail "the simulated scanner was not connected"
points=$("$helper" --sample-qvk-points)
grep -q "^QUORVEL_PROBE opened points=$points\$" "$dir/out.txt" || fail "the viewer did not load the scan's $points points"
grep -q 'The 3D view cannot be drawn: this display offers no OpenGL' "$dir/err.txt" ||
  fail "the log does not say why the scene is not drawn"
"$helper" --check-screenshot "$screenshot" || fail "the viewer's screenshot $screenshot looks blank"
[ -z "$(ls -A "$dir/sim" 2>/dev/null)" ] || fail "the simulated port was left behind: $(ls "$dir/sim")"
echo "quorvel ran without OpenGL: it connected, opened the scan and said why the scene is not drawn"
