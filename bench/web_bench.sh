#!/usr/bin/env bash
# Figures of the web page (README "The web page"): builds the page and the
# native executor benchmark, starts a private PulseAudio null sink for the
# browser to play into, and runs bench/web_bench.py.
#   bench/web_bench.sh [--runs N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh emscripten chromium chromium-driver python3-selenium \
  pulseaudio pulseaudio-utils libbenchmark-dev
make web >/dev/null
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTONEWELL_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target executor_bench >/dev/null
work=$(mktemp -d)
# shellcheck source=tools/alsa/private-pulse.sh
source tools/alsa/private-pulse.sh
trap 'pulse_stop 2>/dev/null || true; rm -rf "$work"' EXIT
pulse_start "$work/pulse"
corpus=${TONEWELL_CORPUS:-../shared/corpus}
/usr/bin/python3 bench/web_bench.py --site build-web --corpus "$corpus" \
  --native build-bench/bench/executor_bench "$@"
