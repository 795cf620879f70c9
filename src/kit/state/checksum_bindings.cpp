#include "kit/state/checksum_bindings.hpp"

#include <cstddef>
#include <cstdint>

#include "kit/state/contiguous_buffer.hpp"
#include "kit/state/crc32.hpp"

namespace py = pybind11;

namespace {

// Below this many bytes releasing the lock costs more than the checksum.
constexpr std::size_t kUnlockedBytes = 1 << 16;

template <std::uint32_t (*Checksum)(const void*, std::size_t, std::uint32_t)>
std::uint32_t checksum_of(const py::object& data, std::uint32_t crc) {
  const velto::ContiguousBuffer buffer(data);
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
