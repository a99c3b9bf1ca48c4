#!/usr/bin/env bash
# Plays the bundled battle.
set -euo pipefail
cd "$(dirname "$0")/.."
exec ./build/tonewell examples/Mice.red examples/Piper.red 1000
