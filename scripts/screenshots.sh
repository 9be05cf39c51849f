#!/usr/bin/env bash
# `make screenshots`: pictures of fixed states of the program, taken through its own screenshot
# request under a private X server (Xvfb) and a private JACK server (dummy backend), with a tone
# playing into its inputs. Writes PNGs into the folder given (docs/screenshots by default).
set -euo pipefail
build=${1:-build}
out=${2:-docs/screenshots}
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
mkdir -p "$XDG_CONFIG_HOME/SeaGlass"
printf 'device = system\n' > "$XDG_CONFIG_HOME/SeaGlass/kelp.ini"

exec 3<> "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1280x800x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/displayfd" ] && break; sleep 0.05; done
export DISPLAY=":$(head -1 "$work/displayfd")"

jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 256 -C 8 -P 2 >/dev/null 2>&1 &
pids+=($!)
sleep 1

log="$work/kelp.log"
"$build/kelp-nova" >"$log" 2>&1 &
kelp=$!
pids+=($kelp)

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

wait_for " ready (" 30
wait_for "audio: RUNNING" 30
sleep 0.5
shot empty

"$build/tools/jack_tone" --level 0.4 --freq 220 --to PortAudio --ports 2 >/dev/null 2>&1 &
pids+=($!)
win=$(xdotool search --sync --onlyvisible --name '^Kelp NOVA' | head -1)
xdotool windowactivate --sync "$win" >/dev/null 2>&1 || true
sleep 1
xdotool key --window "$win" r
sleep 3
shot recording
xdotool key --window "$win" r
sleep 1.5
xdotool key --window "$win" r
sleep 2
xdotool key --window "$win" r
sleep 1
shot two-takes

kill -TERM "$kelp"
wait "$kelp" || true
grep -q "main: everything landed in" "$log" || { echo "screenshots: the takes didn't land" >&2; cat "$log" >&2; exit 1; }
