#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace velto {

// Makes the C++ exceptions that this extension's functions throw the Python exceptions the
// binding library maps them to (std::out_of_range an IndexError, std::bad_alloc a MemoryError,
// std::invalid_argument a ValueError, ...), whichever extension was imported first. Call it
// first thing in every PYBIND11_MODULE of the project.
//
// Why each extension needs its own: the binding library keeps one list of translators for all
// extensions, begun by the first one imported, whose translator then handles everybody's
// exceptions. Its `catch (const std::out_of_range&)` recognises only the type it was compiled
// against. Built with libstdc++, exception types are compared by name and any extension's will
// do. The wheel's extensions each link their own copy of LLVM's C++ runtime, with hidden symbols,
// and types there are compared by the address of their type_info: an exception thrown by the
// other extension matches none of the handlers, and the first extension's translator reports
// every one of them as "RuntimeError: Caught an unknown exception!".
//
// A translator registered locally is tried before that shared list, and only for the functions
// of the extension that registered it. A C++ exception is caught by the binding library's code in
// the extension whose function threw it (the library's dispatcher, compiled into each extension,
// surrounds the call), and no C++ exception passes from one extension's code into the other's:
// they call each other only through Python (an error crossing is a Python error by then), each
// links its own copy of the agent's code, and the agent has no virtual functions through which
// the kit could run the module's copy. So the translator that runs is always compiled against the
// runtime that threw, in either import order, and it is the library's own: the mapping is the
// library's documented one, and the error texts are the exceptions' own (an IndexError names the
// index). It takes every exception (one of no type it knows as a RuntimeError), so translators
// registered globally are never tried for this extension's functions: an exception class of our
// own would be registered with py::register_local_exception (neither extension has one today).
inline void translate_own_exceptions() {
  pybind11::register_local_exception_translator(
      [](std::exception_ptr thrown) { pybind11::detail::translate_exception(thrown); });
}

}  // namespace velto
