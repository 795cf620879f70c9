#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kit/experiments/numpy_random.hpp"

namespace velto {

// A Python seed as SeedSequence (and so Gymnasium's reset) takes it: any int of 0 or more, of any
// size (a NumPy integer too). Anything else is a ValueError or TypeError naming `name`, the
// argument it was given as, and the range.
inline Seed seed_from(const pybind11::handle& value, const std::string& name) {
  namespace py = pybind11;
  if (PyBool_Check(value.ptr()) != 0 || PyFloat_Check(value.ptr()) != 0 ||
      PyIndex_Check(value.ptr()) == 0) {
    throw py::type_error(name + " must be an int of 0 or more, not " +
                         py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>());
  }
  const py::int_ integer = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
  if (!integer) {
    throw py::error_already_set();
  }
  const int negative = PyObject_RichCompareBool(integer.ptr(), py::int_(0).ptr(), Py_LT);
  if (negative < 0) {
    throw py::error_already_set();
  }
  if (negative != 0) {
    throw py::value_error(name + " must be an int of 0 or more (a seed has no upper bound), not " +
                          py::str(integer).cast<std::string>());
  }
  const std::size_t bits = integer.attr("bit_length")().cast<std::size_t>();
  const std::size_t count = bits == 0 ? 1 : (bits + 31) / 32;
  const std::string bytes =
      integer.attr("to_bytes")(count * 4, "little").cast<py::bytes>().cast<std::string>();
  std::vector<std::uint32_t> words(count);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t byte = 0; byte < 4; ++byte) {
      words[i] |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i * 4 + byte]))
                  << (8 * byte);
    }
  }
  return Seed(std::move(words));
}

}  // namespace velto
