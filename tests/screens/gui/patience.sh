# Sourced by the program test scripts once $helper names the test helper: the patience a step may
# take (the window tests' own, so that one number bounds every wait for a state), and a wait for a
# state up to it.
patience=$("$helper" --patience-seconds) || { echo "the test helper does not tell its patience"; exit 1; }
# Runs the command it is given until it succeeds, for at most $patience seconds of real time (not a
# count of pauses, which a busy machine stretches); fails when it never did.
await() {
  deadline=$(($(date +%s) + patience))
  until "$@"; do
    [ "$(date +%s)" -le "$deadline" ] || return 1
    sleep 0.1
  done
}
# Whether file $1 holds a line matching $2 (a file not yet written holds none).
has_line() { grep -q "$2" "$1" 2>/dev/null; }
