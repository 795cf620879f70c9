#pragma once

#include <pybind11/pybind11.h>

// crc32 over any contiguous buffer, without holding the interpreter lock on large ones.
void bind_checksum(pybind11::module_& m);
