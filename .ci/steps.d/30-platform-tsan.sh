#!/usr/bin/env bash
# The wave output functions report buffers from sound-system threads while
# callers write, reset and close on theirs: run their tests under
# ThreadSanitizer as well (only the platform tests, to keep CI short).
set -euo pipefail
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-fsanitize=thread -O1 -g" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DTONEWELL_BENCH=OFF >/dev/null
cmake --build build-tsan --target platform_tests -j "$(nproc)"
TSAN_OPTIONS=halt_on_error=1 ./build-tsan/platform_tests \
  --gtest_filter='WaveOut*:PacedNull*:WavRecorder*:QueueTimer*'
