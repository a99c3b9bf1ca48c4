#!/usr/bin/env bash
# Builds the wave fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it from the seed corpus for a bounded
# time. Usage: fuzz/run.sh [SECONDS] (default 60). A crashing input is left
# in build-fuzz/; copy it into fuzz/regressions/ so the unit tests replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out=build-fuzz
mkdir -p "$out/corpus"
cxx="${CLANGXX:-clang++}"
sources=(runtime/Stream.cpp runtime/FileStream_posix.cpp runtime/Exceptions.cpp runtime/Persistent.cpp
         platform/mmio.cpp platform/StreamIO.cpp platform/acm_posix.cpp platform/ClientLibrary_posix.cpp
         audio/WaveUtils.cpp audio/WaveUtilsSamples.cpp audio/WaveUtilsConvert.cpp
         audio/WaveStorage.cpp audio/WaveStorageEdit.cpp fuzz/wave_fuzz.cpp)
flags=(-std=c++20 -O1 -g -I. -Wall -Wextra -Werror
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
# Each source compiles on its own, two at a time, then one link.
objects=()
for src in "${sources[@]}"; do objects+=("$out/obj/$(basename "${src%.cpp}").o"); done
mkdir -p "$out/obj"
for src in "${sources[@]}"; do printf '%s\n' "$src"; done |
  FUZZ_OBJ="$out/obj" xargs -P 2 -I{} sh -c '"$0" "$@" -c "{}" -o "$FUZZ_OBJ/$(basename "{}" .cpp).o"' \
    "$cxx" "${flags[@]}"
"$cxx" "${flags[@]}" "${objects[@]}" -ldl -o "$out/wave_fuzz"
cp -n fuzz/seeds/* fuzz/regressions/* "$out/corpus/" 2>/dev/null || true
cd "$out"
./wave_fuzz -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=1024 \
  -print_final_stats=1 corpus
