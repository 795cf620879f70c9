#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace velto {

// Builds the C++ object of a Python instance for an `__init__` or `__setstate__` bound as a
// new-style constructor, once. The binding library ignores a second `__init__` on an instance it
// has registered, but checks that before converting the arguments; an argument whose conversion
// runs `__init__` (or `__setstate__`) on the same object (an `__index__` or `__float__` that
// calls it) registers an object there first. Building a second one afterwards would replace the
// registered pointer with an unregistered one: its memory would leak and deallocating the Python
// object would end the process. So the check is made again once every argument is converted, and
// the call whose arguments finished last is ignored like any second `__init__`.
//
// Use it for every class of the module and the kit that has a constructor or `__setstate__`:
//
//   cls.def("__init__", [](py::detail::value_and_holder& self, int a, double b) {
//         velto::construct_once<Thing>(self, a, b);
//       }, py::detail::is_new_style_constructor(), py::arg("a"), py::arg("b"));
//   cls.def("__setstate__", [](py::detail::value_and_holder& self, const py::tuple& state) {
//         Thing restored = thing_from_state(state);  // every conversion happens here
//         velto::construct_once<Thing>(self, std::move(restored));
//       }, py::detail::is_new_style_constructor());
//
// Arguments are converted before the call (and a `__setstate__` converts its state before
// calling this), so nothing that can run Python code lies between the check and the store.
template <typename T, typename... Args>
void construct_once(pybind11::detail::value_and_holder& self, Args&&... args) {
  if (self.instance_registered()) {
    return;
  }
  self.value_ptr() = new T(std::forward<Args>(args)...);
}

}  // namespace velto
