#!/usr/bin/env bash
# `make run`: starts the built program. On a machine with no sound card and no JACK server it
# starts a private JACK server with the dummy backend for this run (and stops it after), so the
# whole program is there to meet; with no display at all it says so in one line.
set -uo pipefail
build=${1:-build}
exe="$build/kelp-nova"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "kelp-nova needs a desktop: no DISPLAY or WAYLAND_DISPLAY is set (run it inside a desktop session, or under Xvfb)." >&2
  exit 1
fi

jack_pid=""
have_card() { [ -n "$(ls /dev/snd/pcmC* 2>/dev/null)" ]; }
have_jack() { command -v jack_lsp >/dev/null && timeout 3 jack_lsp >/dev/null 2>&1; }
if ! have_card && ! have_jack && command -v jackd >/dev/null; then
  echo "no sound card and no JACK server here - starting a private JACK server (dummy backend, silent) for this run"
  jackd --no-realtime -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
  jack_pid=$!
  for _ in $(seq 50); do have_jack && break; sleep 0.1; done
fi

"$exe"
status=$?
if [ -n "$jack_pid" ]; then
  kill "$jack_pid" 2>/dev/null
  wait "$jack_pid" 2>/dev/null
fi
exit $status
