#!/usr/bin/env bash
# Hardening stage of CI, after the plain test command:
#   1. the core, the agent, the module and the C++ tests built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (clang); the C++ tests run through ctest and the Python tests run
#      against the sanitized module;
#   2. the C++ tests under valgrind memcheck (a build of their own with the default compiler);
#   3. the property tests with more examples, and the memory figures of a million steps;
#   4. the fuzz target of the agent's step, for a bounded time from the committed corpus;
#   5. a mutation fuzz run of velto_kit's checkpoint loader against the sanitized kit, and the
#      kit's checkpoint, inspection and thread tests against it;
#   6. the C++ tests that run native threads (agents, copies and the kit's C++ on several threads
#      at once; the population's blocks and its worker pool; the native loop's workers) built
#      with ThreadSanitizer (scripts/tsan_stage.sh, which also runs alone).
# The single-threaded parts share the two cores: valgrind runs beside the sanitized tests, and the
# property tests beside the fuzzer; their output follows once they end.
# Installs what it needs first. VELTO_FUZZ_SECONDS (default 60), VELTO_LOADER_FUZZ_SECONDS
# (default 45) and VELTO_PROPERTY_EXAMPLES (default 1000) bound the fuzzing and the property tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

fuzz_seconds=${VELTO_FUZZ_SECONDS:-60}
loader_fuzz_seconds=${VELTO_LOADER_FUZZ_SECONDS:-45}
property_examples=${VELTO_PROPERTY_EXAMPLES:-1000}
jobs=$(nproc)
stage() {
  echo
  echo "== $1 (at ${SECONDS}s)"
}

stage "tools"
bash scripts/install_debian_packages.sh clang libclang-rt-14-dev valgrind
# The plain test command has normally prepared .venv already; prepare it when run on its own.
if ! .venv/bin/python -c 'import hypothesis, pytest, velto_actor_critic' 2>/dev/null; then
  bash scripts/setup.sh
fi
python=$root/.venv/bin/python
asan_runtime=$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)
[ -f "$asan_runtime" ] || {
  echo "AddressSanitizer runtime not found: $asan_runtime" >&2
  exit 1
}
logs=$(mktemp -d)
# On an early exit the background parts stop too.
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$logs"' EXIT

# Starts a function in the background with its output in a log of its own.
start() {
  "$1" >"$logs/$1" 2>&1 &
  echo $! >"$logs/$1.pid"
}

# Waits for a function started with `start`, shows what it printed (all of it when it failed).
finish() {
  stage "$2"
  if ! wait "$(cat "$logs/$1.pid")"; then
    cat "$logs/$1"
    echo "$1 failed" >&2
    exit 1
  fi
  grep -E "$3" "$logs/$1" || true
}

# Each C++ test executable runs once under valgrind with exactly the tests ctest knows for it. The
# tests that are not single test cases (such as the comparison of optimisation levels, whose
# -march=native build may use instructions valgrind cannot run) are listed and left out.
memcheck_cpp_tests() {
  local build=build/harden-valgrind
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_BUILD_TESTS=ON >/dev/null
  cmake --build "$build" --parallel "$jobs"
  "$python" - "$build" >"$build/memcheck-runs.tsv" <<'EOF_PY'
import collections
import json
import subprocess
import sys

listing = subprocess.run(
    ["ctest", "--test-dir", sys.argv[1], "--show-only=json-v1"],
    capture_output=True, text=True, check=True,
).stdout
cases = collections.defaultdict(list)
for test in json.loads(listing)["tests"]:
    command = test.get("command", [])
    filters = [arg.split("=", 1)[1] for arg in command[1:] if arg.startswith("--gtest_filter=")]
    if filters:
        cases[command[0]].extend(filters)
    else:
        print(f"skip\t{test['name']}")
for executable, names in cases.items():
    print(f"{executable}\t--gtest_filter={':'.join(names)}")
EOF_PY
  local runs=0 executable filter
  while IFS=$'\t' read -r executable filter; do
    if [ "$executable" = skip ]; then
      echo "not under valgrind: $filter"
      continue
    fi
    # A program that replaces the global operator new (to count allocations) cannot run under
    # valgrind, which must serve every allocation itself; the sanitizer build runs it.
    if nm --defined-only "$executable" | grep -qE " T _Znwm$"; then
      echo "not under valgrind: $(basename "$executable") (replaces the global operator new)"
      continue
    fi
    echo "valgrind: $(basename "$executable"), $(($(tr -cd ':' <<<"$filter" | wc -c) + 1)) tests"
    valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
      --show-leak-kinds=definite,indirect,possible \
      --errors-for-leak-kinds=definite,indirect,possible \
      --track-origins=yes --quiet \
      "$executable" "$filter" --gtest_brief=1 </dev/null
    runs=$((runs + 1))
  done <"$build/memcheck-runs.tsv"
  [ "$runs" -gt 0 ] || {
    echo "no C++ test executable found for valgrind" >&2
    exit 1
  }
}

# The property tests with more examples than the plain test command runs, and the figures of the
# memory test, against the installed module.
properties_and_memory() {
  VELTO_PROPERTY_EXAMPLES=$property_examples "$python" -m pytest -p no:cacheprovider -q \
    --hypothesis-show-statistics tests/python/test_properties.py
  echo "resident memory (KiB) after each number of steps:"
  "$python" tests/python/memory_probe.py
}

stage "sanitizer build (clang, AddressSanitizer + UndefinedBehaviorSanitizer)"
asan_dir=build/harden-asan
cmake -S . -B "$asan_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELTO_SANITIZE=ON -DVELTO_BUILD_TESTS=ON -DVELTO_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$asan_dir" --parallel "$jobs"

start memcheck_cpp_tests

stage "C++ tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:strict_init_order=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$asan_dir" --output-on-failure --parallel "$jobs"

stage "Python tests against the sanitized module"
# The interpreter is not instrumented, so the runtime is preloaded; CPython's own allocations at
# exit are not ours to report, so leak detection is off for it (the C++ tests, the fuzz target and
# valgrind check leaks, the memory test checks growth and the reference count tests check what the
# bindings keep). The comparison with the Python model runs the sanitized state_dump, which carries
# its own copy of the runtime, so it must not get the preloaded one, and whose leaks are ours to
# report.
state_dump="$root/$asan_dir/state_dump_without_preload.sh"
printf '#!/bin/sh\nunset LD_PRELOAD\nASAN_OPTIONS=detect_leaks=1 exec "%s" "$@"\n' \
  "$root/$asan_dir/tests/cpp/state_dump" >"$state_dump"
chmod +x "$state_dump"
sanitized_env=(
  LD_PRELOAD="$asan_runtime"
  ASAN_OPTIONS=detect_leaks=0:strict_init_order=1
  UBSAN_OPTIONS=print_stacktrace=1
  PYTHONPATH="$root/$asan_dir"
  VELTO_SANITIZED=1
  VELTO_STATE_DUMP="$state_dump"
)
module_path=$(env "${sanitized_env[@]}" "$python" -c \
  'import velto_actor_critic as module; print(module.__file__)')
case "$module_path" in
  "$root/$asan_dir"/*) echo "sanitized module: $module_path" ;;
  *)
    echo "expected the sanitized module, imported $module_path" >&2
    exit 1
    ;;
esac
# The suites of Python-level work (run checkpoints and their kills, the population loop, the
# native loop's runs against run_episodes, the documentation's code, types and docstrings) reach
# the module only through calls that the other suites make directly, and take several minutes
# under the sanitizer; the test command runs them (the native loop's C++ runs under the
# sanitizers in its own C++ tests).
env "${sanitized_env[@]}" "$python" -m pytest -p no:cacheprovider tests/python \
  --ignore tests/python/test_resume.py --ignore tests/python/test_run_checks.py \
  --ignore tests/python/test_population_loop.py --ignore tests/python/test_docs_code.py \
  --ignore tests/python/test_typing.py --ignore tests/python/test_docstrings.py \
  --ignore tests/python/test_native_loop.py

stage "the checkpoint loader against the sanitized kit: ${loader_fuzz_seconds}s of fuzzing, its tests"
# velto_kit's Python beside the sanitized extension, ahead of the installed package.
kit_dir="$root/$asan_dir/kit-package"
rm -rf "$kit_dir"
mkdir -p "$kit_dir/velto_kit"
cp -r python/velto_kit/. "$kit_dir/velto_kit/"
cp "$asan_dir"/_native.*.so "$kit_dir/velto_kit/"
env "${sanitized_env[@]}" PYTHONPATH="$kit_dir:$root/$asan_dir" "$python" -c \
  'import velto_kit._native as kit; print("sanitized kit:", kit.__file__)' | grep -q "$kit_dir" || {
  echo "expected the sanitized kit from $kit_dir" >&2
  exit 1
}
env "${sanitized_env[@]}" PYTHONPATH="$kit_dir:$root/$asan_dir" "$python" \
  tests/fuzz/checkpoint_loader_fuzz.py "$loader_fuzz_seconds" "$asan_dir"
# The checkpoint, inspection and thread tests against the same sanitized kit (the thread tests
# and the coder's re-entered construction and sizes beyond memory add about 12 s): saves, copies
# and pickles while other threads step.
env "${sanitized_env[@]}" PYTHONPATH="$kit_dir:$root/$asan_dir" "$python" -m pytest \
  -p no:cacheprovider -q tests/python/test_checkpoint.py tests/python/test_checkpoint_damage.py \
  tests/python/test_inspection.py tests/python/test_threads.py \
  tests/python/test_tile_coder.py::test_coders_survive_reentered_construction_and_sizes_beyond_memory

stage "the threaded C++ tests under ThreadSanitizer"
# The agents' and the kit's threads, the population's worker pool and the native loop's workers
# (scripts/tsan_stage.sh).
VELTO_JOBS=$jobs bash scripts/tsan_stage.sh

stage "fuzz target build"
fuzz_dir=build/harden-fuzz
cmake -S . -B "$fuzz_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELTO_SANITIZE=ON -DVELTO_BUILD_FUZZER=ON >/dev/null
cmake --build "$fuzz_dir" --parallel "$jobs" --target step_fuzzer

start properties_and_memory

stage "fuzzing the agent's step for ${fuzz_seconds}s"
# New inputs go to the build directory; the committed corpus only seeds the run.
rm -rf "$fuzz_dir/new-inputs"
mkdir -p "$fuzz_dir/new-inputs"
if ! UBSAN_OPTIONS=print_stacktrace=1 "$fuzz_dir/tests/fuzz/step_fuzzer" \
  -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$fuzz_dir/" "$fuzz_dir/new-inputs" tests/fuzz/corpus \
  >"$fuzz_dir/fuzz.log" 2>&1; then
  tail -n 80 "$fuzz_dir/fuzz.log"
  echo "the fuzz target failed; the input is in $fuzz_dir/ (crash-*, leak-*, timeout-*)" >&2
  exit 1
fi
grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)" \
  "$fuzz_dir/fuzz.log"

finish memcheck_cpp_tests "C++ tests under valgrind memcheck (run beside the sanitized tests)" \
  "^(not under valgrind|valgrind:|==)"
finish properties_and_memory "property tests, $property_examples examples each, and memory" \
  "^(tests/|resident|\{)|passing|passed"

echo
echo "== hardening stage passed in ${SECONDS}s"
