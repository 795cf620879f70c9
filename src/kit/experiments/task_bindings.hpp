#pragma once

#include <pybind11/pybind11.h>

// Registers NativeTask (the C++ reproductions of Gymnasium's classic tasks), NumpyGenerator and
// the lists of task ids on the kit's extension module.
void bind_tasks(pybind11::module_& m);
