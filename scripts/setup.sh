#!/usr/bin/env bash
# Prepares a fresh Debian 12 machine for building and testing: the Debian packages the C++ build
# and tests use, and a Python 3.13 virtual environment (.venv) holding the installed module and
# the test tools. Safe to run again; it only installs what is missing. Each step says what it does
# (the compile of the C++ extensions takes several minutes and prints a line a minute meanwhile).
set -euo pipefail
cd "$(dirname "$0")/.."

step() { echo "setup: $*" >&2; }

step "Debian packages for the C++ build and tests (installed only where missing)"
bash scripts/install_debian_packages.sh build-essential cmake libgtest-dev libbenchmark-dev clang-format

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)'; then
  step "a Python 3.13 virtual environment in .venv"
  rm -rf .venv
  "$(bash scripts/find_python313.sh)" -m venv .venv
fi
step "pip and the build and test tools (requirements-dev.txt)"
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet -r requirements-dev.txt
step "compiling and installing the module and velto_kit (several minutes)"
started=$SECONDS
.venv/bin/python -m pip install --quiet --no-build-isolation . &
build=$!
while kill -0 "$build" 2>/dev/null; do
  for _ in $(seq 60); do
    sleep 1
    if ! kill -0 "$build" 2>/dev/null; then break; fi
  done
  if kill -0 "$build" 2>/dev/null; then
    step "still compiling ($(( (SECONDS - started) / 60 )) min so far)"
  fi
done
wait "$build"
step "done in $(( SECONDS - started )) s: .venv/bin/velto --help lists the commands"
