#!/usr/bin/env bash
# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
make test-sanitize
