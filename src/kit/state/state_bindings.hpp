#pragma once

#include <pybind11/pybind11.h>

// Read access to every member of an agent's learners (zero-copy read-only views of the
// per-feature arrays, copies of the rest), and the private write access that loading uses to
// fill a freshly built agent in place.
void bind_state(pybind11::module_& m);
