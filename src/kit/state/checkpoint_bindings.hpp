#pragma once

#include <pybind11/pybind11.h>

// The writing of a checkpoint from an agent's memory, in one call that holds the interpreter lock.
void bind_checkpoint(pybind11::module_& m);
