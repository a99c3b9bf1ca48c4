#!/usr/bin/env bash
# The web page (make web) in a real browser: headless Chromium plays it into a
# private PulseAudio null sink whose monitor is recorded. Checks the bundled
# battle on the map, five battles byte for byte against the console's wav:
# output and heard in order at the sink, the scores of 50 corpus pairs,
# warriors that do not load, and a browser console without errors; keeps a
# screenshot in out/ci-artefacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."
step_start=$(date +%s)

bash tools/install-deps.sh emscripten chromium chromium-driver python3-selenium \
  pulseaudio pulseaudio-utils fonts-dejavu-core
make -j2 web
[ -x build/tonewell ] || cmake --build build -j2 --target tonewell
echo "web build: $(( $(date +%s) - step_start )) s; tonewell.wasm $(stat -c %s build-web/tonewell.wasm) bytes," \
  "$(gzip -9 -c build-web/tonewell.wasm | wc -c) gzipped"

work=${KEEP_WORK:-$(mktemp -d)}
mkdir -p "$work"
# shellcheck source=tools/alsa/private-pulse.sh
source tools/alsa/private-pulse.sh
trap 'pulse_stop 2>/dev/null || true; [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
pulse_start "$work/pulse"

corpus=${TONEWELL_CORPUS:-../shared/corpus}
# Debian's Selenium imports only under Debian's python3.
/usr/bin/python3 web/tests/browser_check.py --site build-web --program build/tonewell \
  --corpus "$corpus" --work "$work" --artefacts out/ci-artefacts
echo "web step: $(( $(date +%s) - step_start )) s"
