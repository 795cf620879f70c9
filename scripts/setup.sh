#!/usr/bin/env bash
# Prepares a fresh Debian 12 machine for building and testing: the Debian packages the C++ build
# and tests use, and a Python 3.13 virtual environment (.venv) holding the installed module and
# the test tools. Safe to run again; it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_debian_packages.sh build-essential cmake libgtest-dev libbenchmark-dev clang-format

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)'; then
  rm -rf .venv
  "$(bash scripts/find_python313.sh)" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet -r requirements-dev.txt
.venv/bin/python -m pip install --quiet --no-build-isolation .
