# shellcheck shell=bash disable=SC2154  # the variables below are the sourcing script's
# Shared by the scripts that drive the built programs on a private X server (sourced, not run).
#
# The sourcing script sets, before it calls anything here:
#   work      its temporary folder (removed at the end unless KEEP_WORK is set)
#   run       the run folder of the sims, log the program's log file
#   bound     seconds after which a wait gives up
#   tarnwick, sim, ui   the program, velmora-sim and the main window's layout file (absolute paths)
# and defines fail TEXT..., which reports and ends the script.

pids=()  # started here, stopped in reverse order
tarnwick_pid=""
main_window=""
display=""
sim_pid=""
# shellcheck disable=SC2034  # used by the sourcing scripts
readonly sanitizer_report="ERROR: AddressSanitizer|ERROR: LeakSanitizer|WARNING: ThreadSanitizer|runtime error:"

stop_pid() {  # pid: SIGTERM, then SIGKILL if it does not end within 5 s
  local pid=$1 i
  kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
  kill -TERM "$pid" 2>/dev/null
  for i in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

harness_cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[i]}"; done
  if [ -n "${KEEP_WORK:-}" ]; then echo "work folder kept: $work" >&2; else rm -rf "$work"; fi
}
trap harness_cleanup EXIT
trap 'exit 130' INT TERM

require_tools() {  # tool...
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup installs it)"
  done
}

log_count() {  # line: how often it stands in the program's log
  local n
  n=$(grep -cxF -- "$1" "$log" 2>/dev/null)
  echo "${n:-0}"
}

find_window() {  # title pattern; sets found_window
  found_window=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
  [ -n "$found_window" ]
}

# Polls a command every 10 ms up to the bound; false when the bound runs out.
poll_until() {  # command...
  local deadline=$((SECONDS + bound))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.01
  done
}

start_x() {
  # A random display number well away from the low ones that other servers (and other runs of these
  # tests, starting and stopping at the same time) take first; ours once the lock file names our pid.
  local n pid deadline
  for _ in $(seq 10); do
    n=$((200 + RANDOM % 700))
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    # -noreset: the server must not reset when the check below, its first client, disconnects.
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset 2>"$work/xvfb.err" &
    pid=$!
    pids+=("$pid")
    deadline=$((SECONDS + bound))
    while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
      if [ "$( (tr -dc 0-9 <"/tmp/.X$n-lock") 2>/dev/null)" = "$pid" ] &&
        DISPLAY=":$n" xdotool getdisplaygeometry >/dev/null 2>&1; then
        display=":$n"
        export DISPLAY=$display
        return 0
      fi
      sleep 0.01
    done
    stop_pid "$pid"
  done
  fail "could not start Xvfb"
}

# Starts a velmora-sim in the run folder and waits for its "attached" line; sets sim_pid.
start_sim() {  # name, options...
  local name=$1
  shift
  "$sim" --run-dir "$run" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  sim_pid=$!
  pids+=("$sim_pid")
  sim_attached() {
    grep -qs " attached at " "$work/$name.out" && return 0
    kill -0 "$sim_pid" 2>/dev/null || fail "velmora-sim ($name) ended before it attached: $(tail -n 3 "$work/$name.err")"
    return 1
  }
  poll_until sim_attached || fail "velmora-sim ($name) did not attach"
}

# Starts the program on the X server; sets tarnwick_pid.
launch_tarnwick() {
  (cd "$work" && exec env QT_QPA_PLATFORM=xcb LC_ALL=C.UTF-8 HOME="$work/home" XDG_RUNTIME_DIR="$work" \
    VELMORA_RUN_DIR="$run" TARNWICK_LOG_FILE="$log" "$tarnwick" >>"$work/tarnwick.out" 2>>"$work/tarnwick.err") &
  tarnwick_pid=$!
  pids+=("$tarnwick_pid")
}

# Starts the program and waits for its main window; sets tarnwick_pid, main_window.
start_tarnwick() {
  launch_tarnwick
  poll_until find_window '^Tarnwick V' || fail "no main window"
  main_window=$found_window
}

# The centre of a control of the main window within its client area, from the window's layout.
button_centre() {
  awk -v name="$1" '
    index($0, "name=\"" name "\"") { found = 1 }
    found && /<x>/ { gsub(/[^0-9]/, ""); x = $0 }
    found && /<y>/ { gsub(/[^0-9]/, ""); y = $0 }
    found && /<width>/ { gsub(/[^0-9]/, ""); w = $0 }
    found && /<height>/ { gsub(/[^0-9]/, ""); h = $0; print int(x + w / 2), int(y + h / 2); exit }
  ' "$ui"
}

# The client area: the main window's tallest child window (the menu bar is above it, the status bar
# below). Prints its x, y within the main window, its width and its height.
client_geometry() {
  xwininfo -children -id "$main_window" 2>/dev/null | awk '
    /^ +0x/ && match($0, /[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+/) {
      split(substr($0, RSTART, RLENGTH), g, /[x+]/)
      if (g[2] > h) { w = g[1]; h = g[2]; x = g[3]; y = g[4] }
    }
    END { if (h) print x, y, w, h }'
}

click_button() {  # object name
  local xy geometry cx cy
  xy=$(button_centre "$1")
  [ -n "$xy" ] || fail "no $1 in $ui"
  geometry=$(client_geometry)
  [ -n "$geometry" ] || fail "no client area in the main window"
  read -r cx cy _ <<<"$geometry"
  read -r x y <<<"$xy"
  xdotool mousemove --window "$main_window" $((x + cx)) $((y + cy)) click 1
}

# Types a file name into the save dialog's window and presses Enter, as a user does.
type_file_name() {  # dialog window, path
  xdotool windowfocus --sync "$1" 2>/dev/null
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 2 -- "$2"
  xdotool key Return
}
