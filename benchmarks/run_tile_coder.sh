#!/usr/bin/env bash
# Runs the tile coder benchmark (benchmarks/python/bench_tile_coder.py) after installing what it
# needs: the virtual environment with the module (scripts/setup.sh) and Gymnasium with NumPy.
# Arguments go to the benchmark, e.g. --quick.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
.venv/bin/python -m pip install --quiet -r examples/requirements.txt

.venv/bin/python benchmarks/python/bench_tile_coder.py "$@"
