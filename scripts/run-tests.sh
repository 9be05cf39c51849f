#!/usr/bin/env bash
# Runs the test suite of one build folder; extra arguments go to ctest (e.g. -L core).
set -euo pipefail
build=${1:-build}
shift || true
export KELP_TEST_TMP=${KELP_TEST_TMP:-$(mktemp -d /tmp/kelp-test.XXXXXX)}
# Tests never touch the user's real folders.
export HOME="$KELP_TEST_TMP/home"
export XDG_CONFIG_HOME="$HOME/.config"
mkdir -p "$HOME"
# Third-party races we cannot fix (PortAudio's JACK backend) stay out of ThreadSanitizer reports.
export TSAN_OPTIONS="${TSAN_OPTIONS:-} suppressions=$(cd "$(dirname "$0")" && pwd)/tsan.supp"
status=0
ctest --test-dir "$build" --output-on-failure -j 2 "$@" || status=$?
rm -rf "$KELP_TEST_TMP"
exit $status
