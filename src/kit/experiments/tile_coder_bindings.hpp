#pragma once

#include <pybind11/pybind11.h>

// Registers velto_kit.TileCoder on the kit's extension module.
void bind_tile_coder(pybind11::module_& m);
