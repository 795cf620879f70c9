#!/usr/bin/env bash
# The README's main command: on a fresh machine, sets up the virtual environment with the module
# (scripts/setup.sh), installs the example's dependencies and trains on CartPole-v1 with the
# example's defaults. Arguments are passed on to the example (see --help), e.g. --episodes 200 or
# --env Acrobot-v1. Results go to examples/output/; --plot docs/learning_curve.png rewrites the
# README's figure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
.venv/bin/python -m pip install --quiet -r examples/requirements.txt
.venv/bin/python examples/train.py "$@"
