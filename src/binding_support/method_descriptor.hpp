#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velto {

// The binding library stores a class's methods as `instancemethod` objects. Looking one up on an
// instance makes a bound `method`, and under Python 3.12 and later cProfile, which follows
// sys.monitoring's call events, sees the call's start on that bound method but its end on the
// builtin function inside it (the interpreter unpacks the method before calling): it ignores the
// first and takes the second as the end of the call that is running, which is the caller's. Every
// function that called such a method directly, and the method itself, vanished from the profile.
// A method installed here is instead the interpreter's own kind (a method descriptor, as on
// builtin classes), whose call start and end cProfile matches; it forwards to the library's
// function, so arguments, errors and docstring are the library's.
//
// `Name` is the method's name, a character array with static storage; within one extension module
// one class per name is installed (the name's definition and docstring are shared).
template <const char* Name>
class MethodDescriptor {
 public:
  // Replaces the class's method `Name` (the library's instancemethod) with a method descriptor
  // that forwards to the library's function, in the current interpreter.
  static void install(pybind11::handle cls) {
    namespace py = pybind11;
    const py::object entry = cls.attr("__dict__")[Name];
    if (!PyInstanceMethod_Check(entry.ptr())) {
      throw py::type_error(std::string(Name) + " is not the binding library's method");
    }
    const py::handle function = PyInstanceMethod_GET_FUNCTION(entry.ptr());
    // Same text in every interpreter; kept for the life of the process, as the definition is.
    static const std::string doc = py::str(function.attr("__doc__"));
    definition().ml_doc = doc.c_str();

    PyObject* const all = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (all == nullptr) {
      throw std::runtime_error("this interpreter keeps no data for extensions");
    }
    const std::string key = functions_key();
    PyObject* functions = PyDict_GetItemString(all, key.c_str());
    if (functions == nullptr) {
      const py::dict created;
      if (PyDict_SetItemString(all, key.c_str(), created.ptr()) != 0) {
        throw py::error_already_set();
      }
      functions = created.ptr();  // now held by the interpreter's dictionary
    }
    if (PyDict_SetItem(functions, cls.ptr(), function.ptr()) != 0) {
      throw py::error_already_set();
    }
    const py::object descriptor = py::reinterpret_steal<py::object>(
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &definition()));
    if (!descriptor) {
      throw py::error_already_set();
    }
    py::setattr(cls, Name, descriptor);
  }

 private:
  // The library's functions, in each interpreter's dictionary for extensions under this key: a
  // dict from the class to its function, both kept alive there while the interpreter lives.
  static std::string functions_key() { return std::string("velto.method_descriptor.") + Name; }

  // The library's function for an instance of class `cls` (the class or a subclass) in the
  // current interpreter, borrowed from the dict above. The last one found is kept per thread,
  // under the class and the interpreter's number, which no later interpreter reuses.
  static PyObject* library_function(PyTypeObject* cls) {
    thread_local std::int64_t cached_interpreter = -1;
    thread_local PyTypeObject* cached_class = nullptr;
    thread_local PyObject* cached_function = nullptr;
    PyInterpreterState* const interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id >= 0 && id == cached_interpreter && cls == cached_class) {
      return cached_function;
    }
    PyObject* const all = PyInterpreterState_GetDict(interpreter);
    PyObject* const functions =
        all == nullptr ? nullptr : PyDict_GetItemString(all, functions_key().c_str());
    PyObject* const order = cls->tp_mro;
    PyObject* function = nullptr;
    if (functions != nullptr && PyDict_Check(functions) && order != nullptr &&
        PyTuple_Check(order)) {
      for (Py_ssize_t n = 0; function == nullptr && n < PyTuple_GET_SIZE(order); ++n) {
        function = PyDict_GetItemWithError(functions, PyTuple_GET_ITEM(order, n));
        if (function == nullptr && PyErr_Occurred()) {
          return nullptr;
        }
      }
    }
    if (function == nullptr) {
      PyErr_Format(PyExc_SystemError, "%s is not set up in this interpreter", Name);
      return nullptr;
    }
    cached_interpreter = id;
    cached_class = cls;
    cached_function = function;
    return function;
  }

  static PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* const function = library_function(Py_TYPE(self));
    if (function == nullptr) {
      return nullptr;
    }
    // The library's function takes the instance as its first positional argument. Short calls
    // (all that the methods accept) pass it in front of their arguments; longer ones go through a
    // bound method.
    constexpr Py_ssize_t kMost = 8;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs + keywords < kMost) {
      PyObject* with_self[kMost];
      with_self[0] = self;
      for (Py_ssize_t n = 0; n < nargs + keywords; ++n) {
        with_self[n + 1] = args[n];
      }
      return PyObject_Vectorcall(function, with_self, static_cast<std::size_t>(nargs) + 1, kwnames);
    }
    PyObject* const bound = PyMethod_New(function, self);
    if (bound == nullptr) {
      return nullptr;
    }
    PyObject* const result =
        PyObject_Vectorcall(bound, args, static_cast<std::size_t>(nargs), kwnames);
    Py_DECREF(bound);
    return result;
  }

  static PyMethodDef& definition() {
    static PyMethodDef method{Name,
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&forward)),
                              METH_FASTCALL | METH_KEYWORDS, nullptr};
    return method;
  }
};

}  // namespace velto
