#!/usr/bin/env bash
# `make screenshots`: pictures of fixed states of the program, taken through its own screenshot
# request under a private X server (Xvfb) and a private JACK server (dummy backend), with a tone
# playing into its inputs. Writes PNGs into the folder given (build/screenshots by default):
#   empty            a new sketch, nothing recorded yet
#   recording        a take being recorded, quiet then loud
#   twenty-takes     a sketch of 20 takes in lanes, with a loop
#   renaming, confirm-clear, settings, share, rig, library, import-page   the same sketch's panels
#                    (the rig with the dummy server's 8 inputs, a tone in each)
#   help, keys, training, console, key-hint   the guidance over the same sketch
#   whats-new        the card that opens by itself after an update
#   two-hundred-out  200 takes, zoomed out to the whole sketch
#   two-hundred-in   the same, zoomed in
#   audio-down       the same after the audio server went away
set -euo pipefail
build=${1:-build}
out=${2:-$build/screenshots}
mkdir -p "$out"
work=$(mktemp -d /tmp/kelp-shots.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" KELP_SCREENSHOT_DIR="$work"
export JACK_DEFAULT_SERVER="kelp-shots-$$"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus"
unset WAYLAND_DISPLAY
mkdir -p "$XDG_CONFIG_HOME/SeaGlass" "$work/library"
# The settings each run starts from: the JACK device, the scratch library, the sketch to open.
settings() {
  printf 'device = system\nlibrary_dir = %s\nlast_opened = %s\n%s' "$work/library" "${1:-}" \
    "${extra_ini:-}" > "$XDG_CONFIG_HOME/SeaGlass/kelp.ini"
}

exec 3<> "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1280x800x24 -dpi 96 -nolisten tcp -ardelay 60000 >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/displayfd" ] && break; sleep 0.05; done
export DISPLAY=":$(head -1 "$work/displayfd")"

jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 256 -C 8 -P 2 >/dev/null 2>&1 &
jack=$!
pids+=($jack)
sleep 1

log="$work/kelp.log"
kelp=""
win=""
start_kelp() {  # [sketch id]: run the program on it and wait until it plays
  settings "${1:-}"
  : > "$log"
  "$build/kelp-nova" >"$log" 2>&1 &
  kelp=$!
  pids+=($kelp)
  wait_for " ready (" 30
  wait_for "audio: RUNNING" 30
  win=$(xdotool search --sync --onlyvisible --name '^Kelp NOVA' | head -1)
  xdotool windowactivate --sync "$win" >/dev/null 2>&1 || true
}
stop_kelp() {
  kill -TERM "$kelp"
  wait "$kelp" || true
  grep -q "main: everything landed in" "$log" ||
    { echo "screenshots: the sketch didn't land" >&2; cat "$log" >&2; exit 1; }
}
wait_for() {  # a log line, within seconds
  for _ in $(seq $(( $2 * 20 ))); do grep -q -- "$1" "$log" && return 0; sleep 0.05; done
  echo "screenshots: no '$1' in the log" >&2
  cat "$log" >&2
  exit 1
}
shot() {  # name: ask for a screenshot and keep it as a PNG
  local before
  before=$(grep -c "main: screenshot " "$log" || true)
  touch "$work/kelp_screenshot_request"
  for _ in $(seq 100); do
    [ "$(grep -c "main: screenshot " "$log" || true)" -gt "$before" ] && break
    sleep 0.05
  done
  ffmpeg -loglevel error -y -i "$work/kelp_screenshot.bmp" "$out/$1.png"
  echo "screenshots: $out/$1.png"
}

# The x of a top-bar button's middle: the buttons stand right to left from the window's edge,
# each its label's width (11 pt mono, 2 pt tracking, about 8.6 px a letter) + 24, 6 apart.
top_button() {
  local right label w
  right=$(( $(xdotool getwindowgeometry --shell "$win" | sed -n 's/^WIDTH=//p') - 16 ))
  for label in SETTINGS SHARE LIBRARY; do
    w=$(( ${#label} * 86 / 10 + 24 ))
    if [ "$label" = "$1" ]; then echo $(( right - w / 2 )); return; fi
    right=$(( right - w - 6 ))
  done
}

# A tone into the inputs all along (quiet; SIGUSR1 makes it loud and back). [ports, default 2]
tone_on() {
  "$build/tools/jack_tone" --level 0.12 --level2 0.5 --freq 220 --to PortAudio --ports "${1:-2}" \
    >/dev/null 2>&1 &
  tone=$!
  pids+=($tone)
}

# A new sketch, then a take: quiet for two seconds, then loud.
start_kelp
tone_on
xdotool mousemove --window "$win" 700 200
sleep 2
shot empty
xdotool key --window "$win" r
sleep 2
kill -USR1 "$tone"
sleep 1.6
shot recording
xdotool key --window "$win" r
sleep 1
kill -TERM "$tone" 2>/dev/null || true
stop_kelp

# Busy sketches written straight into the library.
twenty=$("$build/tools/kelp_make_sketch" "$work/library" --takes 20 --seconds 5 --length 40 \
  --loop 12 20 --zoom 1 --name "Twenty takes")
start_kelp "$twenty"
tone_on 8
xdotool mousemove --window "$win" 420 330
sleep 2.5
shot twenty-takes
# Renaming in place (Escape leaves the name as it was), then the question before clearing.
xdotool key --window "$win" F2
xdotool type --window "$win" --delay 80 " at dawn 夜"
sleep 0.6
shot renaming
xdotool key --window "$win" Escape
xdotool key --window "$win" ctrl+c
sleep 0.8
shot confirm-clear
xdotool key --window "$win" Escape
sleep 0.4
# The settings (Enter) with BROADCAST (the eighth row) on air and one listener, the share panel
# (the top bar's SHARE), the library and its import page.
xdotool key --window "$win" Return
sleep 0.4
for _ in 1 2 3 4 5 6 7; do xdotool key --window "$win" Down; done
xdotool key --window "$win" Return
wait_for "sgstream: station " 5
"$build/tools/sg_listen" 127.0.0.1 --seconds 3 --stats --name screenshots >/dev/null 2>&1 &
wait_for "SCREENSHOTS (" 5
sleep 0.8
shot settings
xdotool key --window "$win" Escape
sleep 2.5  # the ON AIR toast fades before the next picture
xdotool mousemove --window "$win" "$(top_button SHARE)" 22 click 1
sleep 0.8
shot share
xdotool key --window "$win" Escape
# The rig (A): every input of the interface with its meter.
xdotool mousemove --window "$win" 300 400
xdotool key --window "$win" a
sleep 1.2
shot rig
xdotool key --window "$win" a
sleep 0.4
xdotool mousemove --window "$win" 900 400
xdotool key --window "$win" b
sleep 1.2
xdotool key --window "$win" Down
sleep 0.6
shot library
xdotool key --window "$win" Right
sleep 0.6
shot import-page
xdotool key --window "$win" Left
xdotool key --window "$win" b
sleep 0.5
# The guidance: HELP (F1), KEYS (?), TRAINING (its settings row), the console (Alt+`) and the key
# hint over the top bar's LIBRARY.
xdotool mousemove --window "$win" 300 400
xdotool key --window "$win" F1
sleep 1
shot help
xdotool key --window "$win" Escape
xdotool key --window "$win" question
sleep 1.2
shot keys
xdotool key --window "$win" Escape
xdotool key --window "$win" Return
sleep 0.5
xdotool key --window "$win" End Up Up Return
sleep 1.5
shot training
xdotool key --window "$win" Escape
sleep 0.4
xdotool key --window "$win" alt+grave
sleep 0.8
shot console
xdotool key --window "$win" alt+grave
sleep 0.4
xdotool mousemove --window "$win" "$(top_button LIBRARY)" 22
sleep 1
shot key-hint
stop_kelp

# What's new opens by itself once after an update.
extra_ini='whatsnew_seen = 1.0.0
' start_kelp "$twenty"
sleep 1.5
shot whats-new
stop_kelp

many=$("$build/tools/kelp_make_sketch" "$work/library" --takes 200 --seconds 6 --length 90 \
  --zoom 1 --name "Two hundred takes")
start_kelp "$many"
tone_on
xdotool mousemove --window "$win" 1100 790
sleep 2.5
shot two-hundred-out
xdotool mousemove --window "$win" 300 380
for _ in $(seq 24); do xdotool keydown ctrl click 4 keyup ctrl; done
sleep 3
shot two-hundred-in
# The audio server goes away: the banner and the pill say so.
kill -TERM "$jack"
sleep 2.5
shot audio-down
stop_kelp
