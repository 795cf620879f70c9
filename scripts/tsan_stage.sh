#!/usr/bin/env bash
# The ThreadSanitizer stage of scripts/harden.sh, which can also run alone (clang and its runtime
# installed): every C++ test that runs native threads, built with ThreadSanitizer, so that a data
# race between them fails the run even where no result shows it. threads_tests runs agents,
# copies and the kit's C++ on several threads at once; population_tests runs the population's
# blocks on its worker pool (a failure in one block stopping the others, small calls kept on the
# calling thread) and the pool's own round trips; native_loop_tests runs whole native runs on their
# worker threads (hand-overs after every episode, failures, a loop destroyed midway).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${VELTO_JOBS:-$(nproc)}
tsan_dir=build/harden-tsan
# Only what the tests need is built (the learners and the kit's C++, about a minute on two cores).
cmake -S . -B "$tsan_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELTO_THREAD_SANITIZER=ON -DVELTO_BUILD_TESTS=ON -DVELTO_BUILD_PYTHON=OFF >/dev/null
cmake --build "$tsan_dir" --parallel "$jobs" --target threads_tests population_tests \
  native_loop_tests
for tests in threads_tests population_tests native_loop_tests; do
  echo "$tests:"
  # The population's tests run 20 times and the native loop's 3: each round trip through the pool
  # and each hand-over is another chance for the sanitizer to see two threads touch its state
  # unordered.
  repeat=1
  [ "$tests" = population_tests ] && repeat=20
  [ "$tests" = native_loop_tests ] && repeat=3
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "$tsan_dir/tests/cpp/$tests" \
    --gtest_brief=1 --gtest_repeat="$repeat" | tail -n 3
done
