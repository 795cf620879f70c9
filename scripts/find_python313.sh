#!/usr/bin/env bash
# Prints the path of a Python 3.13 interpreter that runs: pyenv's newest 3.13 when pyenv has one
# (its `python3.13` on PATH is a shim that fails unless that version is selected), otherwise a
# working `python3.13` on PATH. Fails with a message when there is none.
set -euo pipefail

runs_313() { "$1" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; }

if command -v pyenv >/dev/null 2>&1; then
  for candidate in $(ls -d "$(pyenv root)"/versions/3.13.* 2>/dev/null | sort -V -r); do
    if runs_313 "$candidate/bin/python3.13"; then
      echo "$candidate/bin/python3.13"
      exit 0
    fi
  done
fi
if command -v python3.13 >/dev/null 2>&1 && runs_313 python3.13; then
  command -v python3.13
  exit 0
fi
echo "Python 3.13 not found: install it (for example with pyenv) and run again" >&2
exit 1
