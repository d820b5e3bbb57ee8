#!/bin/bash
# tarnwick's answers that need no display: --help and --version on standard output with status 0, and
# without a display one line and a status that is no abort.
set -u
tarnwick=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
# No display of any kind, and Qt left to choose its platform.
run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" >"$work/out" 2>"$work/err"; }

for option in --help -h; do
  run "$tarnwick" "$option"
  status=$?
  [ $status -eq 0 ] || fail "$option: status $status"
  grep -q '^Usage: tarnwick' "$work/out" || fail "$option: no usage on standard output"
  [ -s "$work/err" ] && fail "$option: wrote to standard error: $(cat "$work/err")"
done

run "$tarnwick" --version
status=$?
[ $status -eq 0 ] || fail "--version: status $status"
grep -qx 'tarnwick [0-9][0-9.]*' "$work/out" || fail "--version printed: $(cat "$work/out")"

check_refusal() {  # what, expected words; the run's files
  local status=$1 what=$2 words=$3
  { [ "$status" -ne 0 ] && [ "$status" -lt 128 ]; } || fail "$what: status $status"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$what: not one line: $(cat "$work/err")"
  grep -q "^tarnwick: .*$words" "$work/err" || fail "$what: says $(cat "$work/err")"
  [ -s "$work/out" ] && fail "$what: wrote to standard output"
}
run "$tarnwick"
check_refusal $? "no display" "no display"
# A display that is named but not there (no X server listens on this number).
run env DISPLAY=:1987 "$tarnwick"
check_refusal $? "a display that is not there" "cannot be opened"
exit $failed
