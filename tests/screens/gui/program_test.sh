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
. "$(dirname "$0")/patience.sh"
export HOME="$dir" XDG_DATA_HOME="$dir/data" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state"
export XDG_RUNTIME_DIR="$dir/run" QUORVEL_SIM_DIR="$dir/sim"
mkdir -m 700 "$dir/run"
"$helper" --write-sample-qvk "$dir/vase.qvk" || { echo "could not write the sample scan"; exit 1; }

[ -n "$screenshot" ] || screenshot="$dir/viewer.png"
mkdir -p "$(dirname "$screenshot")"
rm -f "$screenshot"
QUORVEL_LAUNCH_PROBE=1 QUORVEL_QUIT_WHEN=connected+opened QUORVEL_PROBE_SCREENSHOT="$screenshot" \
  timeout "$patience" "$quorvel" --simulator "$dir/vase.qvk" >"$dir/out.txt" 2>"$dir/err.txt"
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

# The scan's points were saved in the library, and quitting folded the library's log into its file.
library="$dir/data/Quorvel/Scan.7.storedata"
# The 44-byte records of the largest stored scan.
stored_records() {
  python3 -c 'import sqlite3, sys
db = sqlite3.connect("file:" + sys.argv[1] + "?mode=ro&immutable=1", uri=True)
print(db.execute("SELECT coalesce(max(length(bytes)), 0) / 44 FROM \"QVSDScanObject.vertexData\"").fetchone()[0])' "$1"
}
[ ! -e "$library-wal" ] && [ ! -e "$library-shm" ] || fail "quitting left the library's log behind: $(ls -l "$library"-*)"
[ "$(stored_records "$library")" -ge "$points" ] || fail "the library's file does not hold the scan's $points points"

# A run that is killed leaves its log; the next one folds it in, and leaves none when it quits.
# It is killed once it shows the scan and its import of it stands in the log, whenever that is on
# a busy machine (the import is saved after the viewer shows it).
QUORVEL_LAUNCH_PROBE=1 "$quorvel" "$dir/vase.qvk" >"$dir/out.txt" 2>"$dir/err.txt" &
killed=$!
opened_and_logged() { has_line "$dir/out.txt" '^QUORVEL_PROBE opened' && [ -s "$library-wal" ]; }
await opened_and_logged || { kill -KILL "$killed"; fail "the second run did not open the scan and save it in its library's log"; }
kill -KILL "$killed"
wait "$killed" 2>/dev/null
[ -s "$library-wal" ] || fail "the killed run left no log to fold in (the test shows nothing)"
QUORVEL_QUIT_WHEN=shown timeout "$patience" "$quorvel" >"$dir/out.txt" 2>"$dir/err.txt" || fail "the run after the killed one failed"
[ ! -e "$library-wal" ] || fail "the run after a killed one left the log behind"
[ "$(stored_records "$library")" -ge "$points" ] || fail "the library lost the scan's points after a killed run"
echo "quorvel started, connected, opened the scan, kept it in its library and quit cleanly"
