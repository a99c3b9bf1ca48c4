#!/usr/bin/env bash
# Every ordered pair of the shared warrior corpus (20164 battles, about 15 s)
# against the reference results; `make test` runs a fixed sample of them.
set -euo pipefail
TONEWELL_CORPUS_PAIRS=all ./build/driver_tests --gtest_filter='BattleCorpus.*'
