#!/usr/bin/env bash
# CI stage: the project as a user without a compiler, or on another processor, or from C++ gets
# it. Time budget: 13 minutes on the 2-core machine, most of it the Python suites against the
# wheel in both import orders (each step prints its time, the stage its total).
#
#  1. scripts/build_dist.sh: the sdist, the wheel built from it (by the toolchain of
#     scripts/wheel_toolchain.sh) and repaired into a manylinux wheel, both checked by twine,
#     compiled for no particular processor. The wheel must need no more of the system than the
#     README says (tests/dist/platform_needs.py): its file name carries the README's tag,
#     `auditwheel show` finds it consistent with that tag or an older one, and its extensions
#     link against glibc's libraries alone, with no symbol version newer than the tag's glibc nor
#     any of libstdc++'s, and call the system's expf and logf.
#  2. The wheel installed into a fresh Python 3.13 environment where no compiler can be found
#     (PATH holds the environment and a few shell tools, CC and CXX unset; only binary packages),
#     and the Python suites (tests/python, every code block of the docs among them) run there
#     against it twice: with the module imported first, and with velto_kit first
#     (VELTO_TEST_IMPORTS=kit-first, read by tests/python/conftest.py), as velto_kit's examples
#     do. Each extension links its own C++ runtime, and the first one imported sets up the binding
#     library for both; the exceptions' translation must hold either way. Left out: the comparison
#     of the state_dump program with the model, which tests a program of the C++ build tree, not
#     the wheel (scripts/test.sh runs it, and step 5 below on an emulated processor).
#  3. The sdist built and installed in another fresh environment (meanwhile, in the background);
#     its module must give the wheel's digest, and its install the expected files.
#  4. What ships holds AVX instructions only in the functions built for AVX2 (objdump), and
#     the checker itself catches a file built for AVX2 (tests/dist).
#  5. The C++ package (cmake --install) and a consumer of it built and run; then the module and
#     the consumer under qemu's emulated processors without AVX2 and FMA: the dispatch takes the
#     scalar sweep there and the results are the same bits (tests/dist/emulated_cpu.py); the C++
#     learners under that emulation against the independent model, member by member, and part of
#     the module's comparison with the model run entirely under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step's wall time, and the processor time it and its children used (on a shared machine the
# wall time also counts the waits for a core).
stage_start=$SECONDS
timed() {
  local name=$1 TIMEFORMAT
  shift
  TIMEFORMAT="[dist stage] $name: %0R s (processor %0U s user, %0S s system)"
  time "$@"
}

bash scripts/install_debian_packages.sh build-essential cmake binutils
# qemu-user alone: what it recommends registers emulators of foreign processors with the kernel.
bash scripts/install_debian_packages.sh --no-recommends qemu-user

python=$(bash scripts/find_python313.sh)
work=build/dist-stage
rm -rf "$work"
mkdir -p "$work/tools"

timed "sdist and manylinux wheel (build_dist.sh)" bash scripts/build_dist.sh
wheel=$(ls dist/velto_actor_critic-*-manylinux*.whl)
sdist=$(ls dist/velto_actor_critic-*.tar.gz)
# auditwheel is one of the build's tools (requirements-dist.txt).
timed "the wheel needs no more than the README says (auditwheel, objdump)" \
  build/dist-tools/bin/python tests/dist/platform_needs.py --readme README.md "$wheel"

# 3, in the background while the wheel is tested: the sdist needs a compiler, and has one. It
# compiles on one core and leaves the other to the tests.
sdist_env=$work/sdist-env
install_sdist() {
  "$python" -m venv "$sdist_env"
  CMAKE_BUILD_PARALLEL_LEVEL=1 "$sdist_env/bin/python" -m pip install --quiet --no-compile \
    "$sdist" pytest
}
timed "sdist built and installed in a fresh environment" install_sdist >"$work/sdist.log" 2>&1 &
sdist_job=$!

# 2. An environment where no compiler can be found.
wheel_env=$work/wheel-env
for tool in sh bash env uname; do
  ln -s "$(command -v "$tool")" "$work/tools/$tool"
done
no_compiler() {
  env -u CC -u CXX -u CPP PATH="$PWD/$wheel_env/bin:$PWD/$work/tools" "$@"
}
install_wheel() {
  no_compiler "$python" -m venv "$wheel_env"
  no_compiler "$wheel_env/bin/python" - <<'EOF'
import os
import shutil

found = {name: shutil.which(name) for name in ["cc", "c++", "gcc", "g++", "clang", "clang++"]}
found.update({name: os.environ[name] for name in ["CC", "CXX"] if name in os.environ})
found = {name: path for name, path in found.items() if path}
assert not found, f"a compiler can be found: {found}"
print("no compiler on PATH, CC and CXX unset")
EOF
  # Byte code is compiled when a module is first imported, not for every installed file.
  no_compiler "$wheel_env/bin/python" -m pip install --quiet --no-compile --only-binary=:all: \
    "$wheel" -r requirements-dev.txt
}
timed "wheel installed without a compiler" install_wheel
site=$("$wheel_env/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
no_compiler "$wheel_env/bin/python" -P - "$site" <<'EOF'
import sys

import velto_actor_critic
import velto_kit

for module in (velto_actor_critic, velto_kit):
    assert module.__file__.startswith(sys.argv[1]), f"{module.__name__} from {module.__file__}"
print(f"testing the installed wheel in {sys.argv[1]}")
EOF
# The velto command from the installed wheel, in a folder without the checkout and without a
# compiler: its commands listed, two seeds trained for a few episodes with TensorBoard files, the
# run evaluated and inspected.
velto_from_the_wheel() {
  local root=$PWD folder
  folder=$(mktemp -d)
  (
    cd "$folder"
    env -u CC -u CXX -u CPP PATH="$root/$wheel_env/bin:$root/$work/tools" bash -euo pipefail -c '
      velto --help
      velto train --env CartPole-v1 --seeds 0 1 --episodes 20 --random-episodes 2 --tensorboard tb
      velto evaluate velto-output --episodes 5
      velto inspect velto-output/agents/seed-0.npz
      compgen -G "tb/seed-1/events.out.tfevents.*"
    '
  )
  rm -rf "$folder"
}
timed "velto from the installed wheel, in a folder without the checkout" velto_from_the_wheel

# 5. The C++ package, from the Release build of the C++ tests (scripts/test.sh builds it; only
#    what is missing is built here), and a consumer of it.
cpp_package() {
  cmake -S . -B build/tests -DVELTO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/tests --parallel "$(nproc)" --target velto_agent state_dump >/dev/null
  cmake --install build/tests --prefix "$work/prefix" --component velto_development >/dev/null
  cmake -S tests/cmake_consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$PWD/$work/prefix" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$work/consumer" --parallel "$(nproc)" >/dev/null
  "$work/consumer/agent_digest"
}

# 4 and 5, on the second core while the first runs the Python suites.
checks_of_what_ships() {
  local extensions=("$site"/velto_actor_critic.*.so "$site"/velto_kit/_native.*.so)
  timed "AVX instructions only in the AVX2 functions" \
    "$wheel_env/bin/python" tests/dist/vector_code.py --sources src "${extensions[@]}"
  timed "the checks of the shipped code catch a file built for AVX2 or needing too much" \
    "$wheel_env/bin/python" -m pytest tests/dist -q -p no:cacheprovider

  timed "C++ package installed, consumer built and run" cpp_package

  timed "emulated processors: dispatch and digests" "$wheel_env/bin/python" \
    tests/dist/emulated_cpu.py --python "$wheel_env/bin/python" \
    --consumer "$work/consumer/agent_digest"
  printf '#!/bin/sh\nexec qemu-x86_64 -cpu Nehalem "%s" "$@"\n' \
    "$PWD/build/tests/tests/cpp/state_dump" >"$work/state_dump_nehalem"
  chmod +x "$work/state_dump_nehalem"
  timed "C++ learners on Nehalem against the model" env VELTO_NAN_PAYLOADS=any \
    VELTO_STATE_DUMP="$PWD/$work/state_dump_nehalem" "$wheel_env/bin/python" -P -m pytest -q \
    -p no:cacheprovider tests/python/test_reference_model.py -k learner_matches_model
  # OpenBLAS picks its kernels from the emulated processor's cpuid: a choice forced for the real
  # one (Haswell's, say) stops with SIGILL there.
  timed "module on Nehalem against the model, all emulated" \
    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE qemu-x86_64 -cpu Nehalem \
    "$wheel_env/bin/python" -P -m pytest -q -p no:cacheprovider \
    tests/python/test_reference_model.py -k "module_action_lists and ordinary"
}
checks_of_what_ships >"$work/ships.log" 2>&1 &
ships_job=$!

suites_passed=true
for order in module-first kit-first; do
  timed "Python suites against the wheel, without a compiler, $order" no_compiler \
    VELTO_TEST_IMPORTS=$order "$wheel_env/bin/python" -P -m pytest tests/python -q \
    -p no:cacheprovider \
    --deselect tests/python/test_reference_model.py::test_learner_matches_model_in_every_member_after_every_step ||
    suites_passed=false
done
# Both background jobs end before the stage does, whatever happened.
ships_passed=true
wait "$ships_job" || ships_passed=false
cat "$work/ships.log"
sdist_passed=true
wait "$sdist_job" || sdist_passed=false
cat "$work/sdist.log"
if ! { $suites_passed && $ships_passed && $sdist_passed; }; then
  echo "[dist stage] failed: Python suites passed $suites_passed, checks of what ships passed" \
    "$ships_passed, sdist installed $sdist_passed" >&2
  exit 1
fi

# 3, concluded.
wheel_digest=$("$wheel_env/bin/python" -P tests/dist/agent_digest.py | cut -d'"' -f4)
sdist_digest=$("$sdist_env/bin/python" -P tests/dist/agent_digest.py | cut -d'"' -f4)
[ "$wheel_digest" = "$sdist_digest" ] ||
  { echo "the sdist's module gives $sdist_digest, the wheel's $wheel_digest" >&2; exit 1; }
echo "the sdist's module gives the wheel's digest $wheel_digest"
"$sdist_env/bin/python" -P -m pytest -q -p no:cacheprovider tests/python/test_distribution.py

echo "[dist stage] total: $((SECONDS - stage_start)) s (budget 780 s)"
times
