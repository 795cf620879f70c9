#pragma once

#include <cstddef>

namespace velto {

// True on an x86-64 processor with AVX2 and FMA, where the eight-lane exp and log can run. Always
// false when built with VELTO_FORCE_SCALAR.
bool processor_supports_fast_math();

// True when the learners take their vectorised paths: the processor supports them and the
// platform's expf and logf agree bit for bit with the eight-lane routines on a sample spread over
// their whole domain (a math library other than the one they were made to match would disagree
// there). Decided once, on first use.
bool fast_math_usable();

// out[n] = exp(in[n]) and log(in[n]) for n in [0, count): the eight-lane routines whenever the
// processor supports them (so that they can be checked against std::exp and std::log), otherwise
// std::exp and std::log themselves.
void exp_floats(const float* in, float* out, std::size_t count);
void log_floats(const float* in, float* out, std::size_t count);

}  // namespace velto
