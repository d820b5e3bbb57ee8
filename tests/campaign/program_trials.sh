#!/usr/bin/env bash
# The fault campaign with the built programs: tarnwick on a private X server (driven with xdotool as
# a user would, the way tests/e2e/e2e.sh does it) against velmora-sim processes that are killed,
# drop off the bus, or are hostile in the middle of a download. After every trial tarnwick must
# still run, the file the user chose must be as it was or a complete CSV file, and the next
# Download from a clean logger must write the whole file. Prints one summary line.
#
# usage: program_trials.sh TARNWICK VELMORA_SIM UMAIN_UI [SEED]
#   ONLY="3 4" runs only those trials; KEEP_WORK=1 keeps the work folder (logs of the programs).
set -uo pipefail

if [ $# -lt 3 ]; then
  sed -n '8p' "$0" >&2
  exit 2
fi
tarnwick=$(readlink -f "$1") sim=$(readlink -f "$2") ui=$(readlink -f "$3")
seed=${4:-1}

readonly bound=120  # seconds; far beyond what any step takes on a loaded machine
readonly clean_records=200
work=$(mktemp -d /tmp/tarnwick-trials-XXXXXX)
run="$work/run"
log="$work/tarnwick.log"
mkdir -p "$work/home"
mkdir -m 700 "$run"  # the programs use only a run folder closed to others
chmod 700 "$work"
index=0 trials=0 injected=0 crashes=0 hangs=0 corrupted=0 leaks=0
trial_failed=""

fail() {
  echo "program trials: $*" >&2
  [ -f "$log" ] && { echo "--- last lines of the program's log:" >&2; tail -n 20 "$log" >&2; }
  exit 1
}

# shellcheck source=tests/e2e/harness.sh
source "$(dirname "$0")/../e2e/harness.sh"

# A trial's failure: noted, counted by its kind, and the trial ends.
note() {  # kind (hang, corrupt, leak, crash), text
  echo "  trial $index: $2" >&2
  echo "  --- last lines of the program's log:" >&2
  tail -n 12 "$log" | sed 's/^/    /' >&2
  case $1 in
    hang) hangs=$((hangs + 1)) ;;
    corrupt) corrupted=$((corrupted + 1)) ;;
    leak) leaks=$((leaks + 1)) ;;
    crash) crashes=$((crashes + 1)) ;;
  esac
  trial_failed=1
}

# Polls a condition every 20 ms, answering the program's dialogs meanwhile; false after `bound`.
wait_for() {  # command...
  local deadline=$((SECONDS + bound))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    kill -0 "$tarnwick_pid" 2>/dev/null || return 1
    answer_dialogs
    sleep 0.02
  done
}

log_count_above() { [ "$(log_count "$1")" -gt "$2" ]; }
# Lines that match an extended regular expression as a whole.
log_matches() {  # pattern
  local n
  n=$(grep -cxE -- "$1" "$log" 2>/dev/null)
  echo "${n:-0}"
}
log_matches_above() { [ "$(log_matches "$1")" -gt "$2" ]; }

# Until a window we answered has closed (a while at most: if it stays, the next round answers it again).
window_gone() {  # window id
  local deadline=$((SECONDS + 10))
  while xwininfo -id "$1" 2>/dev/null | grep -q 'IsViewable'; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.02
  done
}

# The save dialog gets the trial's file name; a message box is closed with its OK button.
save_name=""
answer_dialogs() {
  local box title
  if find_window '^Save As$'; then
    box=$found_window
    type_file_name "$box" "$save_name"
    window_gone "$box"
  fi
  for title in '^Error$' '^Information$' '^Fehler$'; do
    if find_window "$title"; then
      box=$found_window
      xdotool windowfocus --sync "$box" 2>/dev/null
      xdotool key Return
      window_gone "$box"
    fi
  done
}

# Threads and open files of tarnwick: after a trial and a clean download they are no more than they
# were before it (fewer when the count before it caught a file of the previous trial still closing).
resources() { echo "$(ls "/proc/$tarnwick_pid/task" | wc -l) $(ls "/proc/$tarnwick_pid/fd" | wc -l)"; }
above() {  # "threads files" counted before, [counted now]
  local threads files was_threads was_files
  read -r threads files <<<"${2:-$(resources)}"
  read -r was_threads was_files <<<"$1"
  [ "$threads" -gt "$was_threads" ] || [ "$files" -gt "$was_files" ]
}

readonly header="Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;AmbientTemperature;Comment"
readonly known=$'an earlier export, which a failed download must leave alone\r'

complete_csv() {  # file
  [ "$(head -n 1 "$1")" = "$header"$'\r' ] || return 1
  [ "$(wc -l <"$1")" -eq "$(grep -c $'\r$' "$1")" ] || return 1
  [ -z "$(tail -c 2 "$1" | tr -d '\r\n')" ] || return 1
  awk -F';' 'NR > 1 && NF != 8 { bad = 1 } END { exit bad }' "$1"
}

# The logger of the trial goes; a clean one comes; Download writes the whole file.
clean_download() {
  local file="$save_name.csv" finished
  finished=$(log_count "Download finished")
  start_sim clean --records $clean_records --serial VLM4711
  clean_pid=$sim_pid
  click_button btnDownload
  if ! wait_for log_count_above "Download finished" "$finished"; then
    # Its logger goes too, so that the next trial does not find two loggers of one serial number.
    stop_pid "$clean_pid"
    kill -0 "$tarnwick_pid" 2>/dev/null || return 0
    note hang "the clean download after the fault did not finish"
    return 0
  fi
  if ! complete_csv "$file" || [ "$(wc -l <"$file")" -ne $((clean_records + 1)) ]; then
    note corrupt "the clean download wrote $(wc -l <"$file") lines, not $((clean_records + 1))"
  fi
  stop_pid "$clean_pid"
  # The link notices the unplug; its readers end.
  local exits=$(($(log_count "Device connected") * 3))
  wait_for log_count_above "Worker thread exits" $((exits - 1)) || note hang "the link did not end when the clean logger went"
}

# One trial: the faulty logger's options, how the fault shows, what ends it.
#   kill-at: SIGKILL the sim once this line is in the log; otherwise the sim runs until the trial ends.
#   expect: the log line the program must show in reply to the fault, as an extended regular
#   expression of whole lines (alternatives for a fault whose reply is left to chance). The trial
#   waits for it, however long the program's time-outs take on a loaded machine, up to the bound.
trial() {  # name, kill-at line, expect pattern, sim options...
  local name=$1 kill_at=$2 expect=$3
  shift 3
  index=$((index + 1))
  if [ -n "${ONLY:-}" ] && [[ " $ONLY " != *" $index "* ]]; then return; fi
  trials=$((trials + 1))
  trial_failed=""
  save_name="$work/trial-$index"
  printf '%s\n' "$known" >"$save_name.csv"
  local before_resources connects exits
  before_resources=$(resources)
  echo "trial $index: $name ($*)"

  if [ -n "${KEEP_WORK:-}" ]; then
    ls "$run" >"$work/run-before-$index.txt"
    import -window root "$work/screen-before-$index.png" 2>/dev/null
  fi
  start_sim "faulty-$index" --serial VLM4711 "$@"
  local faulty=$sim_pid
  connects=$(log_count "Device connected")
  local expected_before
  expected_before=$(log_matches "$expect")
  click_button btnDownload
  if [ -n "$kill_at" ]; then
    if wait_for grep -qF -- "$kill_at" "$log"; then
      kill -KILL "$faulty"
      wait "$faulty" 2>/dev/null
      injected=$((injected + 1))
    else
      note hang "\"$kill_at\" never came"
    fi
  fi
  # Whatever the fault sets off runs its course, up to the program's reply (its answer time-out too).
  local replied=1
  wait_for log_matches_above "$expect" "$expected_before" || replied=""
  stop_pid "$faulty"
  # The logger says when it dropped off the bus or carried out hostile replies.
  if [ -z "$kill_at" ]; then
    if grep -qE "dropped off the bus|faults carried out" "$work/faulty-$index.err"; then
      injected=$((injected + 1))
    else
      echo "  (the fault did not happen)"
    fi
  fi
  if ! kill -0 "$tarnwick_pid" 2>/dev/null; then
    note crash "tarnwick ended (see tarnwick.err)"
    tail -n 5 "$work/tarnwick.err" >&2
    start_tarnwick
    return
  fi
  [ -n "$replied" ] || note hang "the program never said \"$expect\" (waited ${bound} s)"
  # Every link opened to the faulty logger has ended (three readers each).
  exits=$(($(log_count "Device connected") * 3))
  wait_for log_count_above "Worker thread exits" $((exits - 1)) || note hang "the link to the faulty logger did not end"

  if ! cmp -s <(printf '%s\n' "$known") "$save_name.csv" && ! complete_csv "$save_name.csv"; then
    note corrupt "$save_name.csv is neither as it was nor a complete CSV file"
  fi
  [ -z "$(find "$work" -maxdepth 1 -name 'trial-*.tmp' -o -maxdepth 1 -name '*.csv.*' -o -maxdepth 1 -name '.~*')" ] ||
    note corrupt "a temporary file was left beside the user's file"

  clean_download
  # A thread or file of the ended link may take a moment to go on a loaded machine; a leak stays.
  # One count decides and is the one reported: a thread that comes and goes (a pool's worker) must
  # neither end the wait early nor be reported after the wait saw the counts go down.
  local deadline=$((SECONDS + bound)) now
  now=$(resources)
  while above "$before_resources" "$now" && [ $SECONDS -lt $deadline ]; do
    sleep 0.1
    now=$(resources)
  done
  above "$before_resources" "$now" && note leak "threads and open files went from $before_resources to $now"
  [ -z "$trial_failed" ] && echo "  passed"
}

require_tools Xvfb xdotool xwininfo
start_x
start_tarnwick
# The first clean download sets the baseline of threads and files.
save_name="$work/baseline"
clean_download
[ -n "$trial_failed" ] && fail "the clean download before the trials failed"

big="--records 16384 --pace full-speed"
long_serial="VLM$(printf '9%.0s' $(seq 123))"
# The lines that end a download, whichever way it went.
download_ended="No Answer of Velmora|No data stored!|Stored data exceeds memory image|Download finished|Worker thread exits|Error .*|File .*Error"
# shellcheck disable=SC2086
{
  # Each waits for the program's reply to the fault: the answer time-out (10 s once a download has
  # run) where no reply comes.
  trial "velmora-sim killed mid-download" "mem.load=0,524288" "Worker thread exits" $big
  trial "drops off the bus after 3000 packets" "" "Worker thread exits" $big --unplug-after 3000
  # Random answers end the download one way or another.
  trial "random answers" "" "$download_ended" --records 300 --random-answers --hostile-seed "$seed"
  trial "negative record count" "" "No data stored!" --records 300 --mem-used-count -5
  trial "absurd record count" "" "Stored data exceeds memory image" --records 300 --mem-used-count 99999999999
  trial "answers never come" "" "No Answer of Velmora" --records 300 --no-answers
  trial "short, empty and extra packets" "" "Download finished" --records 2000 --short-packets --extra-datin 40 \
    --hostile-seed "$seed"
  trial "debug flood of 5000 lines per second" "" "Download finished" --records 4000 --debug-flood 5000
  trial "command pipe stalls before the memory request" "" "sendCommand WriteSync failed!" --records 300 \
    --stall-out-after 1
  trial "odd descriptors and a 126-character serial" "" "Download finished" --records 300 --odd-descriptors \
    --serial "$long_serial"
  trial "hostile logger killed mid-download" "mem.load=0,524288" "Worker thread exits" $big --debug-flood 3000 \
    --short-packets
}

kill -0 "$tarnwick_pid" 2>/dev/null || crashes=$((crashes + 1))
if grep -qE "$sanitizer_report" "$work"/*.err; then
  echo "sanitizer report:" >&2
  grep -hE -A5 "$sanitizer_report" "$work"/*.err >&2
  crashes=$((crashes + 1))
fi
echo "campaign (programs): trials $trials, faults injected $injected, crashes $crashes, hangs $hangs," \
  "corrupted files $corrupted, leaks $leaks"
[ $((crashes + hangs + corrupted + leaks)) -eq 0 ]
