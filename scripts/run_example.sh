#!/usr/bin/env bash
# The README's main command: on a fresh machine, sets up the virtual environment with the module
# and the velto command (scripts/setup.sh), installs the example's dependencies and trains on
# CartPole-v1 with velto train's defaults. Arguments are passed on to velto train (see
# .venv/bin/velto train --help), e.g. --episodes 200 or --env Acrobot-v1. Results go to
# examples/output/ (--output-dir elsewhere); --plot docs/learning_curve.png rewrites the README's
# figure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
.venv/bin/python -m pip install --quiet -r examples/requirements.txt
.venv/bin/velto train --output-dir examples/output "$@"
