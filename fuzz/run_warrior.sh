#!/usr/bin/env bash
# Builds the warrior-file fuzz target with clang (libFuzzer, AddressSanitizer)
# and runs it for a bounded time from the bundled examples.
# Usage: fuzz/run_warrior.sh [SECONDS] (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
out=build-fuzz-warrior
mkdir -p "$out/corpus"
cxx="${CLANGXX:-clang++}"
sources=(runtime/IntText.cpp runtime/Exceptions.cpp runtime/FileRead_posix.cpp runtime/FileReadWait.cpp
         core/unit_core_utils.cpp core/unit_core_program_utils.cpp
         core/unit_random_warrior_position_generator.cpp core/unit_core_execute_quillmar.cpp
         driver/BattleLoop.cpp fuzz/warrior_fuzz.cpp)
# The silent executor never calls the tone; this stands in for the audible
# side, which the fuzz target does not link.
cat > "$out/no_tone.cpp" <<'CPP'
#include "core/ToneAudio.h"
void tw::SynthesizeTone(const tw::CoreCell&) {}
CPP
# No UndefinedBehaviorSanitizer here: over the inlined executor it makes the
# build several minutes longer, and the unit tests and the corpus sample
# already run the executor under it.
flags=(-std=c++20 -O1 -g -I. -Wall -Wextra -Werror -fsanitize=fuzzer,address)
# Each source compiles on its own, two at a time, then one link.
objects=()
for src in "${sources[@]}" "$out/no_tone.cpp"; do objects+=("$out/obj/$(basename "${src%.cpp}").o"); done
mkdir -p "$out/obj"
for src in "${sources[@]}" "$out/no_tone.cpp"; do printf '%s\n' "$src"; done |
  FUZZ_OBJ="$out/obj" xargs -P 2 -I{} sh -c '"$0" "$@" -c "{}" -o "$FUZZ_OBJ/$(basename "{}" .cpp).o"' \
    "$cxx" "${flags[@]}"
"$cxx" "${flags[@]}" "${objects[@]}" -o "$out/warrior_fuzz"
cp -n examples/*.red "$out/corpus/" 2>/dev/null || true
cd "$out"
./warrior_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
  -print_final_stats=1 corpus
