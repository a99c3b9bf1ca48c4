#!/usr/bin/env bash
# Half a minute of fuzzing of the Redcode source assembler: crashes, sanitizer
# reports, runaway FOR or EQU expansion, and load forms that read back wrong.
set -euo pipefail
bash fuzz/run_asm.sh 30
