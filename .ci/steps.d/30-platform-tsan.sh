#!/usr/bin/env bash
# The wave output functions report buffers from sound-system threads while
# callers write, reset and close on theirs: run their tests under
# ThreadSanitizer as well (only the platform and sound tests, to keep CI short).
set -euo pipefail
# Line tables only (-g1): reports name the file and line; full debug
# information adds half again to the compile time.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DTONEWELL_BENCH=OFF >/dev/null
cmake --build build-tsan --target platform_tests sound_tests -j "$(nproc)"
TSAN_OPTIONS=halt_on_error=1 ./build-tsan/platform_tests --gtest_filter='WaveOut*:QueueTimer*'
TSAN_OPTIONS=halt_on_error=1 ./build-tsan/sound_tests \
  --gtest_filter='WaveOut*:PacedNull*:WavRecorder*'
