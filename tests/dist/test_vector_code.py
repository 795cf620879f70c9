"""The check of the shipped code against libraries built right and built wrong (needs g++)."""

import shutil
import subprocess

import pytest
from vector_code import allowed_names, check, is_allowed

KERNELS = r"""
#include <immintrin.h>
#define VELTO_AVX2 __attribute__((target("avx2,fma")))

float VELTO_AVX2 widen_sum(const float* x) {
  const __m256 v = _mm256_loadu_ps(x);
  const __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  return _mm_cvtss_f32(_mm_add_ps(s, _mm_movehl_ps(s, s)));
}

float plain_sum(const float* x, int n) {
  float total = 0.0f;
  for (int i = 0; i < n; ++i) total += x[i] * x[i];
  return total;
}
"""

pytestmark = pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")


@pytest.fixture
def sources(tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "kernels.cpp").write_text(KERNELS)
    return tmp_path / "src"


def build(sources, *flags):
    library = sources.parent / "libkernels.so"
    subprocess.run(
        ["g++", "-O3", "-shared", "-fPIC", *flags, "-o", library, sources / "kernels.cpp"],
        check=True,
    )
    return library


def test_vector_code_in_the_avx2_function_alone_passes(sources):
    stray, allowed = check(build(sources), allowed_names(sources))
    assert stray == []
    assert [name for name in allowed if name.startswith("widen_sum")]


@pytest.mark.parametrize("flags", [["-mavx2"], ["-march=haswell"]])
def test_a_whole_file_built_for_avx2_is_caught(sources, flags):
    stray, _ = check(build(sources, *flags), allowed_names(sources))
    assert [name for name in stray if name.startswith("plain_sum")]


def test_a_stripped_library_is_refused_rather_than_passed(sources):
    library = build(sources, "-mavx2", "-s")
    with pytest.raises(SystemExit, match="no symbol table"):
        check(library, allowed_names(sources))


@pytest.mark.parametrize(
    ("function", "allowed"),
    [
        ("velto::LogStepUpdate::apply(int const*, unsigned long, float const*) const", True),
        (
            "velto::LogStepUpdate::apply(int const*) const::{lambda(long long __vector(4))#1}"
            "::operator()(long long __vector(4)) const",
            True,
        ),
        (
            "velto::(anonymous namespace)::exp_floats_avx2(float const*, float*, unsigned long) "
            "[clone .constprop.0]",
            True,
        ),
        ("velto::avx2::replace_lanes<float (*)(float)>(float __vector(8), int)", True),
        ("velto::Critic::sweep_traces_avx2(float, float)", True),
        # Same last name in another class, and a name that only contains an allowed one.
        ("velto::Critic::apply(int)", False),
        ("velto::gathered_total(float const*)", False),
    ],
)
def test_allowed_names_cover_lambdas_and_clones_but_not_lookalikes(function, allowed):
    names = {"LogStepUpdate::apply", "gather", "replace_lanes", "exp_floats_avx2"}
    assert is_allowed(function, names) == allowed
