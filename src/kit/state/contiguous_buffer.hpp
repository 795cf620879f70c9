#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

namespace velto {

// A C-contiguous buffer of any object that offers one (bytes, memoryview, NumPy array), held
// while this object lives; anything else raises the exporter's BufferError.
class ContiguousBuffer {
 public:
  explicit ContiguousBuffer(const pybind11::object& data) {
    if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
      throw pybind11::error_already_set();
    }
  }
  ~ContiguousBuffer() { PyBuffer_Release(&view_); }
  ContiguousBuffer(const ContiguousBuffer&) = delete;
  ContiguousBuffer& operator=(const ContiguousBuffer&) = delete;

  const void* data() const { return view_.buf; }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

}  // namespace velto
