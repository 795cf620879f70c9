#!/usr/bin/env bash
# Prepares a fresh Debian 12 machine for building and testing: the Debian packages the C++ build
# and tests use, and a Python 3.13 virtual environment (.venv) holding the installed module and
# the test tools. Safe to run again; it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_debian_packages.sh build-essential cmake libgtest-dev libbenchmark-dev clang-format

find_python313() {
  if command -v pyenv >/dev/null 2>&1 && [ -x "$(pyenv root)/versions/3.13.0/bin/python3.13" ]; then
    echo "$(pyenv root)/versions/3.13.0/bin/python3.13"
  elif command -v python3.13 >/dev/null 2>&1; then
    command -v python3.13
  else
    echo "Python 3.13 not found: install it (for example with pyenv) and run again" >&2
    exit 1
  fi
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)'; then
  rm -rf .venv
  "$(find_python313)" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet -r requirements-dev.txt
.venv/bin/python -m pip install --quiet --no-build-isolation .
