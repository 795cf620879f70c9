#!/usr/bin/env bash
# Sets up the toolchain that builds the wheel and prints the path of its CMake toolchain file.
#
# The wheel must load on systems as old as its platform tag says (glibc 2.28: see WHEEL_GLIBC
# below and the README's Install section), whatever machine builds it. Debian 12's gcc links
# against its own glibc (2.36) and libstdc++ (GLIBCXX_3.4.30), so the wheel would need both on
# the user's machine. Zig's C and C++ compilers (the ziglang package of requirements-dist.txt,
# clang underneath) instead compile against the headers and link against the symbol versions of
# the glibc named in the target, and link their own C++ runtime (libc++) statically with hidden
# symbols; the extensions then need of the system only glibc's libraries.
#
# The arithmetic stays that of every other build: CMakeLists.txt passes -ffp-contract=off and
# -fno-fast-math to every compile (clang would otherwise fuse multiply-adds), and expf and logf
# stay calls into the system's glibc at run time. The target names no processor beyond x86-64:
# the vector kernels choose AVX2 themselves after a run-time check.
#
# The tools live in build/dist-tools (a virtual environment with requirements-dist.txt); the
# wrappers and the toolchain file in build/dist-tools/toolchain. Zig compiles the C++ runtime for
# the target once (about 85 s of processor time) into its own cache outside the work tree
# (~/.cache/zig), where later builds of the machine, also from fresh clones, find it.
#
#     toolchain_file=$(bash scripts/wheel_toolchain.sh)
#     cmake -S . -B build/x -DCMAKE_TOOLCHAIN_FILE="$toolchain_file"
set -euo pipefail
cd "$(dirname "$0")/.."

# The oldest glibc the wheel runs with; scripts/build_dist.sh repairs the wheel to the
# corresponding manylinux tag, and the README names it (tests/python/test_distribution.py).
WHEEL_GLIBC=2.28

tools=$PWD/build/dist-tools
if [ ! -x "$tools/bin/python" ]; then
  "$(bash scripts/find_python313.sh)" -m venv "$tools" >&2
fi
"$tools/bin/python" -m pip install --quiet -r requirements-dist.txt >&2
zig=$("$tools/bin/python" -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).parent / "zig")')
[ -x "$zig" ] || { echo "no zig executable at $zig" >&2; exit 1; }

toolchain=$tools/toolchain
mkdir -p "$toolchain"
target=x86_64-linux-gnu.$WHEEL_GLIBC
write_wrapper() {
  local name=$1
  shift
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$zig" "$*" >"$toolchain/$name"
  chmod +x "$toolchain/$name"
}
write_wrapper cc cc -target "$target"
write_wrapper c++ c++ -target "$target"
write_wrapper ar ar
write_wrapper ranlib ranlib
# Zig compiles with debug information even where no -g asks for it, and so is the C++ runtime it
# links in: nine tenths of each extension. The wheel's install step strips it (CMake's install
# --strip runs this instead of strip, which would remove the symbol table too: the check of the
# shipped code and profilers need it).
bash scripts/install_debian_packages.sh binutils >&2
printf '#!/bin/sh\nexec objcopy --strip-debug "$@"\n' >"$toolchain/strip-debug"
chmod +x "$toolchain/strip-debug"
# Zig's own runtime library (compiler_rt) also defines expf, logf, memcpy and other C library
# functions, weakly; once a link pulls it in (for __cpu_model, which the run-time processor check
# reads), those definitions would take the place of glibc's, and the learners would compute with
# zig's expf instead of the platform's. The few helpers the compiler calls (__cpu_model,
# __cpu_indicator_init, 128-bit division) come from gcc's static libgcc instead, which defines
# nothing of the C library.
bash scripts/install_debian_packages.sh libgcc-12-dev >&2
libgcc=/usr/lib/gcc/x86_64-linux-gnu/12/libgcc.a
[ -f "$libgcc" ] || { echo "no $libgcc (Debian's libgcc-12-dev)" >&2; exit 1; }
cat >"$toolchain/wheel.cmake" <<EOF
# Written by scripts/wheel_toolchain.sh: zig's compilers for glibc $WHEEL_GLIBC on x86-64.
set(CMAKE_C_COMPILER "$toolchain/cc")
set(CMAKE_CXX_COMPILER "$toolchain/c++")
set(CMAKE_AR "$toolchain/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "$toolchain/ranlib" CACHE FILEPATH "" FORCE)
set(CMAKE_STRIP "$toolchain/strip-debug" CACHE FILEPATH "" FORCE)
# Our own objects need no debug information either (the strip above removes the runtime's).
set(CMAKE_CXX_FLAGS_INIT "-g0")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_\${kind}_LINKER_FLAGS_INIT "-rtlib=none")
endforeach()
set(CMAKE_CXX_STANDARD_LIBRARIES "$libgcc" CACHE STRING "" FORCE)
EOF
echo "$toolchain/wheel.cmake"
