#!/usr/bin/env bash
# End-to-end runs of the built programs: velmora-sim processes and tarnwick on a private X server,
# driven with xdotool as a user would (clicks on the buttons, a file name typed into the save dialog).
#
# usage: e2e.sh CASE TARNWICK VELMORA_SIM E2E_RECORDS FIRMWARE_BIN UMAIN_UI ARTIFACT_DIR
#   CASE download  a download of a given memory image, the CSV compared with the image's records
#        unplug    velmora-sim killed mid-download; the program carries on and downloads from a new one
#        firmware  Firmware Update against an old logger; the image lands in the logger's memory
#        measurements  two downloads of one memory go into the history once; the measurements window
#                  shows them and exports the CSV (the download's bytes), the chart and the report
#        peers     hostile programs at loggers' sockets: the window still comes up (and says when)
#
# Everything runs in a fresh temporary folder (run folder of the sims, HOME, the program's log file);
# every process started here is stopped at the end. Screenshots are kept in ARTIFACT_DIR.
set -uo pipefail

if [ $# -ne 7 ]; then
  sed -n '5,11p' "$0" >&2
  exit 2
fi
case_name=$1
# Absolute: the programs run from the temporary folder.
tarnwick=$(readlink -f "$2") sim=$(readlink -f "$3") records=$(readlink -f "$4") firmware=$(readlink -f "$5")
ui=$(readlink -f "$6") artifacts=$(readlink -m "$7")
peer_tool="$(dirname "$records")/e2e_hostile_peer"  # built beside the records tool

readonly bound=120  # seconds; far beyond what any step takes on a loaded machine
work=$(mktemp -d /tmp/tarnwick-e2e-XXXXXX)
run="$work/run"
log="$work/tarnwick.log"
mkdir -p "$work/home" "$artifacts"
mkdir -m 700 "$run"  # the programs use only a run folder closed to others
chmod 700 "$work"

fail() {
  echo "FAIL ($case_name): $*" >&2
  if [ -f "$log" ]; then
    echo "--- last lines of the program's log:" >&2
    tail -n 25 "$log" >&2
  else
    echo "--- the program wrote no log" >&2
  fi
  local f
  for f in "$work"/*.err; do
    [ -s "$f" ] && { echo "--- $(basename "$f"):" >&2; tail -n 10 "$f" >&2; }
  done
  [ -n "$display" ] && DISPLAY=$display import -window root "$artifacts/$case_name-failure.png" 2>/dev/null &&
    echo "--- screen at the failure: $artifacts/$case_name-failure.png" >&2
  exit 1
}

# shellcheck source=tests/e2e/harness.sh
source "$(dirname "$0")/harness.sh"

# Polls a condition (a command) every 10 ms up to the bound; says what it waited for when it gives up.
wait_for() {  # description, command...
  local what=$1
  shift
  local deadline=$((SECONDS + bound))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || fail "gave up after ${bound} s waiting for $what"
    if [ -n "$tarnwick_pid" ] && ! kill -0 "$tarnwick_pid" 2>/dev/null; then
      fail "tarnwick ended while waiting for $what"
    fi
    sleep 0.01
  done
}

log_has() { [ -f "$log" ] && grep -qxF -- "$1" "$log"; }
log_count_is() { [ "$(log_count "$1")" -ge "$2" ]; }
file_nonempty() { [ -s "$1" ]; }

require_tools Xvfb xdotool xwininfo import

# Clicks a button until the window it opens comes.
click_until_window() {  # button, title pattern, description
  local next=$((SECONDS + 5)) deadline=$((SECONDS + bound))
  click_button "$1"
  until find_window "$2"; do
    [ $SECONDS -lt $deadline ] || fail "gave up after ${bound} s waiting for $3"
    kill -0 "$tarnwick_pid" 2>/dev/null || fail "tarnwick ended while waiting for $3"
    if [ $SECONDS -ge $next ]; then
      click_button "$1"
      next=$((SECONDS + 5))
    fi
    sleep 0.05
  done
}

screenshot() {  # name, window
  import -window "$2" "$artifacts/$1.png" || fail "screenshot $1 failed"
}

# Downloads through the window and checks the CSV against an independent decoding of the image.
download_and_check() {  # image, used, file name typed (without extension), finished count expected
  local image=$1 used=$2 typed=$3 finished=$4
  # The button takes a click only once the window has carried out the end of the last operation,
  # which may come after its log line on a loaded machine: click again while no dialog comes.
  click_until_window btnDownload '^Save As$' "the save dialog"
  type_file_name "$found_window" "$typed"
  wait_for "\"Download finished\" (#$finished)" log_count_is "Download finished" "$finished"
  local csv="$typed.csv"
  [ -f "$csv" ] || fail "no $csv: the save dialog did not add the csv extension"
  "$records" expect "$image" "$used" "$work/expected.csv" "$work/expected.log" || fail "the decoder failed"

  local header="Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;AmbientTemperature;Comment"
  [ "$(head -n 1 "$csv")" = "$header"$'\r' ] || fail "first line of the CSV is not the header: $(head -n 1 "$csv")"
  local lines crlf
  lines=$(wc -l <"$csv")
  crlf=$(grep -c $'\r$' "$csv")
  [ "$lines" -eq "$crlf" ] || fail "$((lines - crlf)) of $lines CSV lines do not end in CR LF"
  [ "$lines" -eq "$(wc -l <"$work/expected.csv")" ] ||
    fail "the CSV has $lines lines, the image's $used records give $(wc -l <"$work/expected.csv")"
  if ! cmp -s "$work/expected.csv" "$csv"; then
    echo "--- expected vs. written CSV:" >&2
    diff <(tr -d '\r' <"$work/expected.csv") <(tr -d '\r' <"$csv") | head -n 20 >&2
    fail "the CSV does not hold what the image's records say"
  fi
  # The log lists every record of this download, bad ones included, numbered in sorted order.
  local listed="$work/listed.log"
  awk -v n="$finished" '$0 == "Download finished" { if (++seen == n) exit } seen == n - 1' "$log" |
    grep -E '^[0-9]+ [0-9]{2}/|^Fehler Messwert ' >"$listed"
  if ! cmp -s "$work/expected.log" "$listed"; then
    diff "$work/expected.log" "$listed" | head -n 20 >&2
    fail "the log's record lines differ from the records"
  fi
}

# ---- The cases ----

case_download() {
  "$records" image "$work/image.bin" >"$work/used" || fail "cannot make the image"
  local used
  used=$(cat "$work/used")
  start_x
  start_sim sim --image "$work/image.bin" --used "$used" --serial VLM4711
  start_tarnwick
  wait_for "\"Device connected\"" log_has "Device connected"
  log_has "Ger$(printf '\xc3\xa4')t: 4711" || fail "the log does not name the logger 4711"

  download_and_check "$work/image.bin" "$used" "$work/messung" 1
  screenshot download-window "$main_window"

  # The service console: Ctrl+Shift+D shows it and makes the client area 724 pixels tall.
  xdotool windowfocus --sync "$main_window"
  xdotool key --clearmodifiers ctrl+shift+d
  client_height() { [ "$(client_geometry | cut -d' ' -f4)" = 724 ]; }
  wait_for "the service console (client area 724 high)" client_height
  sleep 0.2  # let the newly shown panel paint before the picture
  screenshot service-console "$main_window"
}

case_unplug() {
  "$records" image "$work/image.bin" >"$work/used" || fail "cannot make the image"
  local used
  used=$(cat "$work/used")
  start_x
  # A full memory at the USB full-speed rate: about 430 ms of packets, time enough to pull the plug.
  start_sim first --records 16384 --pace full-speed
  local first=$sim_pid
  start_tarnwick
  wait_for "\"Device connected\"" log_has "Device connected"

  click_button btnDownload
  wait_for "the memory request" log_has "mem.load=0,524288"
  kill -KILL "$first"
  wait "$first" 2>/dev/null
  log_has "sortiert" && fail "the download was complete before velmora-sim was killed; nothing was interrupted"

  wait_for "three \"Worker thread exits\"" log_count_is "Worker thread exits" 3
  wait_for "\"Device disconnected!\"" log_has "Device disconnected!"
  kill -0 "$tarnwick_pid" 2>/dev/null || fail "tarnwick ended when its logger went away"
  log_has "sortiert" && fail "\"sortiert\" after the logger was gone"
  screenshot unplugged-window "$main_window"

  # A new logger: the next Download connects to it and completes.
  start_sim second --image "$work/image.bin" --used "$used"
  download_and_check "$work/image.bin" "$used" "$work/after-unplug" 1
  [ "$(log_count "Device connected")" -eq 2 ] || fail "expected a second \"Device connected\" before the download"
  screenshot reconnected-window "$main_window"
}

case_firmware() {
  [ "$(stat -c %s "$firmware")" -eq 61184 ] || fail "$firmware is not 61184 bytes"
  start_x
  start_sim sim --software V1.09 --memory-out "$work/memory.bin"
  local logger=$sim_pid
  start_tarnwick
  wait_for "\"Device connected\"" log_has "Device connected"

  click_button btnUpdate
  wait_for "\"Start firmware update\"" log_has "Start firmware update"
  log_has "Device software version= V1.09" || fail "the logger's version is not in the log"
  # The logger installs the image and comes back with its version.
  wait_for "the logger's restart on V1.10" grep -q "restarted with firmware V1.10" "$work/sim.err"
  screenshot firmware-window "$main_window"

  kill -TERM "$logger"
  wait "$logger"
  local status=$?
  [ $status -eq 0 ] || fail "velmora-sim ended with $status on SIGTERM"
  [ "$(stat -c %s "$work/memory.bin")" -eq 524288 ] || fail "the memory written by velmora-sim is not 524288 bytes"
  cmp -s -i 463104:0 -n 61184 "$work/memory.bin" "$firmware" ||
    fail "the logger's memory at 463104 does not hold the program's firmware image"
}

# Presses a shortcut in a window, types a file name into the save dialog it opens, waits for the file.
export_from() {  # window, key, dialog title, path
  xdotool windowfocus --sync "$1" 2>/dev/null
  xdotool key --clearmodifiers "$2"
  wait_for "the \"$3\" dialog" find_window "^$3\$"
  type_file_name "$found_window" "$4"
  wait_for "$(basename "$4")" file_nonempty "$4"
}

# The same lines in the same order, except within runs of lines with the same time and sensor.
same_up_to_ties() {  # file, file
  python3 - "$1" "$2" <<'PY'
import itertools, sys
def runs(path):
    lines = open(path, "rb").read().split(b"\r\n")
    return [sorted(run) for _, run in itertools.groupby(lines, key=lambda line: line.split(b";")[:2])]
sys.exit(0 if runs(sys.argv[1]) == runs(sys.argv[2]) else 1)
PY
}

history_rows() {  # rows of the measurements table in the program's history
  python3 - "$work/home/.local/share/tarnwick/measurements.sqlite" <<'PY' 2>/dev/null
import sqlite3, sys
print(sqlite3.connect("file:" + sys.argv[1] + "?mode=ro", uri=True).execute("SELECT count(*) FROM measurements").fetchone()[0])
PY
}
history_rows_are() { [ "$(history_rows)" = "$1" ]; }
history_downloads_are() {  # count: downloads the history has taken in
  [ "$(python3 - "$work/home/.local/share/tarnwick/measurements.sqlite" <<'PY' 2>/dev/null
import sqlite3, sys
print(sqlite3.connect("file:" + sys.argv[1] + "?mode=ro", uri=True).execute("SELECT count(*) FROM downloads").fetchone()[0])
PY
)" = "$1" ]
}

case_measurements() {
  require_tools python3
  "$records" image "$work/image.bin" >"$work/used" || fail "cannot make the image"
  local used
  used=$(cat "$work/used")
  start_x
  start_sim sim --image "$work/image.bin" --used "$used" --serial VLM4711
  start_tarnwick
  wait_for "\"Device connected\"" log_has "Device connected"

  download_and_check "$work/image.bin" "$used" "$work/first" 1
  local lines=$(($(wc -l <"$work/first.csv") - 1))
  wait_for "the $lines records in the history" history_rows_are "$lines"
  download_and_check "$work/image.bin" "$used" "$work/second" 2
  # The second import runs after the file is written; once it is in the history, it added nothing.
  wait_for "the second download in the history" history_downloads_are 2
  history_rows_are "$lines" || fail "the second download of the same memory changed the history to $(history_rows) records"

  # View > Measurements (Ctrl+M): the window shows the connected logger once its records are read.
  xdotool windowfocus --sync "$main_window"
  xdotool key --clearmodifiers ctrl+m
  wait_for "the measurements window of VLM4711" find_window '^Measurements: VLM4711$'
  local window=$found_window
  sleep 0.3  # let it paint before the picture
  screenshot measurements-window "$window"

  # The download's bytes, but for one thing: records with the same time stamp, tick and sensor (the
  # image has such a pair) come from the history ordered by their raw counts, not in memory order.
  export_from "$window" ctrl+e "Export CSV" "$work/range.csv"
  if ! cmp -s "$work/first.csv" "$work/range.csv"; then
    same_up_to_ties "$work/first.csv" "$work/range.csv" || {
      diff <(tr -d '\r' <"$work/first.csv") <(tr -d '\r' <"$work/range.csv") | head -n 20 >&2
      fail "the CSV exported from the history differs from the download's"
    }
    echo "note: the exported CSV orders records of the same second and sensor differently" >&2
  fi
  export_from "$window" ctrl+s "Save Chart" "$work/chart.png"
  read -r format width height < <(identify -format '%m %w %h\n' "$work/chart.png" 2>/dev/null)
  [ "${format:-}" = PNG ] && [ "${width:-0}" -ge 800 ] && [ "${height:-0}" -ge 450 ] ||
    fail "chart.png is not a PNG of at least 800 x 450 pixels: ${format:-?} ${width:-?} x ${height:-?}"
  cp "$work/chart.png" "$artifacts/measurements-chart.png"
  export_from "$window" ctrl+p "PDF Report" "$work/report.pdf"
  [ "$(head -c 5 "$work/report.pdf")" = "%PDF-" ] || fail "report.pdf is not a PDF file"
  [ "$(grep -ac '^/Type /Page$' "$work/report.pdf")" = 1 ] && grep -aq '^/Count 1$' "$work/report.pdf" ||
    fail "report.pdf does not have exactly one page"
  cp "$work/report.pdf" "$artifacts/measurements-report.pdf"
}

# A hostile program at a logger's socket in the run folder (tests/common/HostilePeer.h).
start_peer() {  # kind
  peer_out="$work/peer-$1.out"
  "$peer_tool" "$run" "0-$1" "$1" >"$peer_out" 2>"$work/peer-$1.err" &
  pids+=("$!")
  peer_listens() { grep -qs L "$peer_out"; }
  poll_until peer_listens || fail "the $1 peer does not listen: $(cat "$work/peer-$1.err")"
}

close_error_box() {
  find_window '^Error$' || return 0
  xdotool windowfocus --sync "$found_window" 2>/dev/null
  xdotool key Return
  sleep 0.1
}

# Starts the program and times its first window: the main window, or a box the scan at start shows
# before it. Boxes are closed as they come until the main window is there; sets main_window. The
# peers that hold a program back do so for good, so the window coming at all shows that they did not
# hold it; the time is a figure, not a verdict (the socket tests hold the greeting deadline).
start_tarnwick_timed() {
  local start shown
  start=$(date +%s%N)
  launch_tarnwick
  first_window() { find_window '^Tarnwick V' || find_window '^Error$'; }
  poll_until first_window || fail "no window within ${bound} s"
  shown=$((($(date +%s%N) - start) / 1000000))
  echo "e2e peers: first window after $shown ms"
  main_shown() { close_error_box && find_window '^Tarnwick V'; }
  wait_for "the main window" main_shown
  main_window=$found_window
}

case_peers() {
  start_x
  # The peers that held the program: a silent one, a slow greeting, status "pending"; with garbage,
  # and one of another user when we may switch users. Beside them a logger.
  start_sim good --serial VLM5000
  local kind
  for kind in silent slow-greeting pending garbage; do start_peer "$kind"; done
  [ "$(id -u)" -eq 0 ] && start_peer foreign-uid
  start_tarnwick_timed
  connected() { close_error_box && log_has "Device connected"; }
  wait_for "\"Device connected\"" connected
  log_has "Ger$(printf '\xc3\xa4')t: 5000" || fail "the log does not name the logger 5000"
  click_until_window btnDownload '^Save As$' "the save dialog"
  type_file_name "$found_window" "$work/beside-peers"
  wait_for "\"Download finished\"" log_has "Download finished"
  screenshot peers-window "$main_window"
  stop_pid "$tarnwick_pid"

  # Alone with a peer that stops reading once the link has started: the window comes up, the link
  # ends within the send deadline, and the next Download says that no logger is there.
  run="$work/run2" log="$work/tarnwick2.log"
  mkdir -m 700 "$run"
  start_peer stops-reading
  start_tarnwick_timed
  wait_for "\"Device disconnected!\"" log_has "Device disconnected!"
  click_button btnDownload
  wait_for "\"No Velmora found\"" log_has "No Velmora found"
}

# The program still runs, and no program reported a sanitizer finding (in sanitizer builds).
check_health() {
  kill -0 "$tarnwick_pid" 2>/dev/null || fail "tarnwick ended"
  local f
  for f in "$work"/*.err; do
    grep -qE "$sanitizer_report" "$f" &&
      fail "sanitizer report in $(basename "$f")"
  done
  return 0
}

case "$case_name" in
  download) case_download ;;
  unplug) case_unplug ;;
  firmware) case_firmware ;;
  measurements) case_measurements ;;
  peers) case_peers ;;
  *) fail "unknown case $case_name" ;;
esac
check_health
echo "e2e $case_name: passed (screenshots in $artifacts)"
