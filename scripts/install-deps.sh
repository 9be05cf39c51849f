#!/usr/bin/env bash
# Installs every Debian package the build, the program and the tests need.
# Idempotent: only missing packages are fetched; never asks questions.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev
  libicu-dev
  libsdl2-dev libgl1-mesa-dri libglx-mesa0 libegl-mesa0 libfreetype-dev libharfbuzz-dev libfontconfig-dev libsystemd-dev
  fonts-dejavu-core fonts-noto-mono fonts-droid-fallback fonts-symbola
  portaudio19-dev libasound2-dev libjack-jackd2-dev jackd2
  librtmidi-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev ffmpeg
  libavahi-client-dev avahi-daemon avahi-utils
  sox xvfb xdotool xclip dbus-daemon xdg-utils zenity
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# avahi-daemon starts itself only where systemd runs, and its setup tolerates a failed start.
# jackd2 asks about realtime priority; answer it up front.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections 2>/dev/null || true
echo "installing: ${missing[*]}"
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
