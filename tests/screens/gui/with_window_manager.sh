#!/bin/sh
# Runs the command it is given under the openbox window manager on the current display (xvfb-run's):
# the command is openbox's start-up command, so it starts once openbox manages the screen, and
# openbox ends when it does. Its exit code is the command's; 77 (skipped) when openbox cannot run.
set -u
command -v openbox >/dev/null 2>&1 || { echo "skipped: openbox is not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
{
  echo '#!/bin/sh'
  printf 'QUORVEL_WINDOW_MANAGER=openbox'
  for arg in "$@"; do printf " '%s'" "$(printf '%s' "$arg" | sed "s/'/'\\\\''/g")"; done
  printf '\necho $? > "%s/status"\nopenbox --exit\n' "$dir"
} >"$dir/run"
chmod +x "$dir/run"
# openbox keeps its session and log under the home it is given: a folder of the run's own.
HOME="$dir" XDG_CACHE_HOME="$dir/cache" XDG_CONFIG_HOME="$dir/config" openbox --startup "$dir/run"
wm=$?
if [ ! -f "$dir/status" ]; then
  echo "skipped: openbox could not manage the display (exit code $wm)"
  exit 77
fi
exit "$(cat "$dir/status")"
