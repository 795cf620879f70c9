#pragma once

#include <pybind11/pybind11.h>

// value and action_probabilities: what the agent's learners give for a state, without learning.
void bind_evaluation(pybind11::module_& m);
