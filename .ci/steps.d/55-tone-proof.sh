#!/usr/bin/env bash
# The fast tone against its extended-precision definition, sample for sample:
# over ten million samples of random cells and lengths, and every instruction
# word at N = 0, 2, 3, 7, 100, 999, 1000 and 10000 (about 40 s on two idle
# cores); `make test` runs a sample of both.
set -euo pipefail
TONEWELL_TONE_PROOF=full ./build/core_tests --gtest_filter='ToneExactTest.*'
