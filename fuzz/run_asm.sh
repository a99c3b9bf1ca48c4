#!/usr/bin/env bash
# Builds the Redcode source fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time, starting from
# our example warriors and, when the shared corpus is beside the project, its
# published sources (read in place, never copied into the project).
# Usage: fuzz/run_asm.sh [SECONDS] (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
out=build-fuzz-asm
mkdir -p "$out/corpus" "$out/obj"
cxx="${CLANGXX:-clang++}"
sources=(runtime/IntText.cpp runtime/Exceptions.cpp runtime/FileRead_posix.cpp runtime/FileReadWait.cpp
         core/unit_core_utils.cpp core/unit_core_program_utils.cpp
         asm/Token.cpp asm/Lexer.cpp asm/SourceError.cpp asm/SourceText.cpp asm/Symbols.cpp
         asm/Expression.cpp asm/Expander.cpp asm/Encoder.cpp asm/Assembler.cpp
         asm/LoadFormWriter.cpp driver/WarriorReader.cpp fuzz/asm_fuzz.cpp)
flags=(-std=c++20 -O1 -g -I. -Wall -Wextra -Werror
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
objects=()
for src in "${sources[@]}"; do objects+=("$out/obj/$(basename "${src%.cpp}").o"); done
# Each source compiles on its own, two at a time, then one link.
printf '%s\n' "${sources[@]}" |
  FUZZ_OBJ="$out/obj" xargs -P 2 -I{} sh -c '"$0" "$@" -c "{}" -o "$FUZZ_OBJ/$(basename "{}" .cpp).o"' \
    "$cxx" "${flags[@]}"
"$cxx" "${flags[@]}" "${objects[@]}" -o "$out/asm_fuzz"
cp -n examples/*.red examples/source/*.red "$out/corpus/" 2>/dev/null || true
seeds=(corpus)
shared="${TONEWELL_CORPUS:-../shared/corpus}/source"
[ -d "$shared" ] && seeds+=("$(cd "$shared" && pwd)")
cd "$out"
# -timeout: the expansion bounds keep every input far below it.
./asm_fuzz -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 "${seeds[@]}"
