#pragma once

#include <pybind11/pybind11.h>

namespace velto {

// Calls of the binding library's classes, through its metaclass. A class with no C++ type behind
// it (the library's own base class, which pickle protocols 0 and 1 call through copyreg to build
// the state of any object whose class defines no reduction) is refused with TypeError: the
// library's allocation of such an instance throws a C++ exception through the interpreter's C
// frames, which ends the process. Every other class goes through the library's own call.
extern "C" inline PyObject* velto_guarded_class_call(PyObject* type, PyObject* args,
                                                     PyObject* kwargs) {
  namespace py = pybind11;
  try {
    auto* const cls = reinterpret_cast<PyTypeObject*>(type);
    if (py::detail::all_type_info(cls).empty()) {
      PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", cls->tp_name);
      return nullptr;
    }
    return py::detail::pybind11_meta_call(type, args, kwargs);
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

// Installs the guarded call on the metaclass of the library's classes in the current
// interpreter (each interpreter has its own). It changes nothing but the outcome of calls that
// would otherwise end the process; classes of other modules that share the metaclass get it too.
inline void guard_instance_creation() {
  PyTypeObject* const metaclass = pybind11::detail::get_internals().default_metaclass;
  if (metaclass->tp_call != &velto_guarded_class_call) {
    metaclass->tp_call = &velto_guarded_class_call;
    PyType_Modified(metaclass);
  }
}

}  // namespace velto
