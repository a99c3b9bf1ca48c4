#!/usr/bin/env bash
# Plays the bundled battle on the default sound output (TONEWELL_AUDIO, when
# set, chooses another). Where no sound output exists, says so and renders
# the same battle into a WAV file instead.
set -uo pipefail
cd "$(dirname "$0")/.."
battle=(examples/Mice.red examples/Piper.red 1000)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Standard error stays on the terminal, where the battle is shown as it plays.
./build/tonewell "${battle[@]}" | tee "$log"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] && exit 0

# The run ends at its first tone with a report line naming the device and
# ALSA's reason when there is no sound output.
if [ -z "${TONEWELL_AUDIO:-}" ] && grep -q 'ALSA PCM "' "$log"; then
  mkdir -p out
  wav=out/demo.wav
  echo
  echo "No sound output on this machine ($(grep -o 'ALSA PCM ".*' "$log" | tail -1))."
  echo "Rendering the same battle to $wav instead."
  TONEWELL_AUDIO="wav:$wav" ./build/tonewell "${battle[@]}" || exit
  echo "The battle's sound is in $wav."
  exit 0
fi
exit "$status"
