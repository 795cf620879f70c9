#!/usr/bin/env bash
# CI's benchmark stage: checks our own single-precision exp and log against the platform's expf
# and logf on all 2^32 inputs each, bit for bit, on every core (about a minute on two cores). The
# learners' vectorised paths rely on that agreement. Needs what scripts/setup.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/bench-stage -DVELTO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-stage --target exhaustive_math_check --parallel "$(nproc)" >/dev/null

status=0
build/bench-stage/tests/cpp/exhaustive_math_check || status=$?
if [ "$status" -eq 77 ]; then
  echo "exhaustive exp/log check skipped: this processor lacks AVX2 or FMA"
  exit 0
fi
exit "$status"
