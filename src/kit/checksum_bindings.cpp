#include "kit/checksum_bindings.hpp"

#include <cstddef>
#include <cstdint>

#include "kit/crc32.hpp"

namespace py = pybind11;

namespace {

// Below this many bytes releasing the lock costs more than the checksum.
constexpr std::size_t kUnlockedBytes = 1 << 16;

// A C-contiguous buffer of any object that offers one (bytes, memoryview, NumPy array), held
// for the duration of the checksum; anything else raises the exporter's BufferError.
class ContiguousBuffer {
 public:
  explicit ContiguousBuffer(const py::object& data) {
    if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
      throw py::error_already_set();
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

template <std::uint32_t (*Checksum)(const void*, std::size_t, std::uint32_t)>
std::uint32_t checksum_of(const py::object& data, std::uint32_t crc) {
  const ContiguousBuffer buffer(data);
  if (buffer.size() < kUnlockedBytes) {
    return Checksum(buffer.data(), buffer.size(), crc);
  }
  py::gil_scoped_release unlocked;
  return Checksum(buffer.data(), buffer.size(), crc);
}

}  // namespace

void bind_checksum(py::module_& m) {
  m.def("crc32", &checksum_of<velto::crc32>, py::arg("data"), py::arg("crc") = 0,
        "zlib.crc32's value, folded with carry-less multiplication where the processor has it.");
  m.def("crc32_by_table", &checksum_of<velto::crc32_by_table>, py::arg("data"), py::arg("crc") = 0);
}
