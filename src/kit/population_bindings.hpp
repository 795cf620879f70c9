#pragma once

#include <pybind11/pybind11.h>

// The native side of velto_kit.Population: a list of agents stepped once each per call.
void bind_population(pybind11::module_& m);
