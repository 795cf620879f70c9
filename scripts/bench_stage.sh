#!/usr/bin/env bash
# CI's benchmark stage: checks our own single-precision exp and log against the platform's expf
# and logf on all 2^32 inputs each, bit for bit, on every core (about a minute of processor time
# on two cores for each build). The learners' vectorised paths rely on that agreement. It runs
# twice: built by the system's compiler, as a source install builds the module, and built by the
# wheel's toolchain (scripts/wheel_toolchain.sh: another compiler, linking against glibc 2.28's
# symbol versions), as the wheel's extensions are. Needs what scripts/setup.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

check() {
  local name=$1 build=$2
  shift 2
  cmake -S . -B "$build" -DVELTO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$build" --target exhaustive_math_check --parallel "$(nproc)" >/dev/null
  # The platform's functions, that is glibc's, called at run time: not a toolchain's own copy.
  local name_in_glibc
  for name_in_glibc in expf logf; do
    objdump -T "$build/tests/cpp/exhaustive_math_check" |
      grep -Eq "\*UND\*.*\(GLIBC_[0-9.]+\) +$name_in_glibc\$" ||
      { echo "$name: the check does not call glibc's $name_in_glibc" >&2; exit 1; }
  done
  local status=0
  echo "$name:"
  "$build/tests/cpp/exhaustive_math_check" || status=$?
  if [ "$status" -eq 77 ]; then
    echo "exhaustive exp/log check skipped: this processor lacks AVX2 or FMA"
    exit 0
  fi
  [ "$status" -eq 0 ] || exit "$status"
}

check "built by the system's compiler" build/bench-stage
# The C++ tests' configuration looks for GoogleTest, which zig's compiler does not search for in
# Debian's multiarch folders; the check itself does not use it.
check "built by the wheel's toolchain" build/bench-stage-wheel \
  -DCMAKE_TOOLCHAIN_FILE="$(bash scripts/wheel_toolchain.sh)" \
  -DCMAKE_LIBRARY_ARCHITECTURE=x86_64-linux-gnu
