#pragma once

#include <pybind11/pybind11.h>

// NativeRun: whole runs of episodes of the native loop on native threads, for
// velto_kit.experiments.native_loop.
void bind_native_loop(pybind11::module_& m);
