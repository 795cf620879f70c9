#!/usr/bin/env bash
# Builds the C++ step benchmark twice, against the core as built by default and against the core
# built with VELTO_FORCE_SCALAR (its plain scalar path), runs both and prints the tables with the
# ratios and their targets.
#
# usage: bash benchmarks/run_cpp.sh [--smoke] [Google Benchmark flags...]
#   --smoke  only the small sizes, with a minimal measuring time: checks that everything runs.
# Other flags go to both benchmark runs (e.g. --benchmark_filter=critic).
set -euo pipefail
cd "$(dirname "$0")/.."

run_flags=(--benchmark_min_time=0.5 --benchmark_repetitions=3)
if [ "${1:-}" = "--smoke" ]; then
  shift
  run_flags=(--benchmark_min_time=0.01 '--benchmark_filter=/(1000|10000)/')
fi

# The Debian packages and the virtual environment whose Python prints the report, when missing.
bash scripts/install_debian_packages.sh build-essential cmake libbenchmark-dev
[ -x .venv/bin/python ] || bash scripts/setup.sh

for variant in default scalar; do
  flags=""
  [ "$variant" = scalar ] && flags="-DVELTO_FORCE_SCALAR"
  cmake -S . -B "build/bench-$variant" -DVELTO_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="$flags" >/dev/null
  cmake --build "build/bench-$variant" --target step_benchmark benchmark_support_tests \
    --parallel "$(nproc)" >/dev/null
done

# The workload's own checks, before anything is measured with it.
build/bench-default/benchmarks/cpp/benchmark_support_tests --gtest_brief=1 >&2

for variant in default scalar; do
  echo "running the benchmark against the $variant core..." >&2
  "build/bench-$variant/benchmarks/cpp/step_benchmark" "${run_flags[@]}" "$@" \
    --benchmark_out="build/bench-$variant/step_benchmark.json" --benchmark_out_format=json \
    >"build/bench-$variant/step_benchmark.txt"
done

.venv/bin/python benchmarks/cpp/report.py build/bench-default/step_benchmark.json \
  build/bench-scalar/step_benchmark.json
