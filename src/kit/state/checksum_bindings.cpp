#include "kit/state/checksum_bindings.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "kit/state/crc32.hpp"

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

// Joins `pieces` into one new bytes object, copying each once, in cache-sized parts; a piece
// whose group is not -1 is checksummed from its copy while that part is still in the cache, and
// each group's CRC-32 is then written little-endian at the offsets `slots` gives for it. dumps
// makes its zip this way: one pass over the agent's memory for both the copy and the checksums.
py::bytes assemble(const py::list& pieces, const std::vector<std::int64_t>& groups,
                   const std::vector<std::pair<std::int64_t, std::int64_t>>& slots) {
  if (groups.size() != pieces.size()) {
    throw py::value_error("one group per piece");
  }
  std::vector<std::unique_ptr<ContiguousBuffer>> buffers;
  std::size_t total = 0;
  std::int64_t group_count = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    buffers.push_back(
        std::make_unique<ContiguousBuffer>(py::reinterpret_borrow<py::object>(pieces[i])));
    total += buffers.back()->size();
    group_count = std::max(group_count, groups[i] + 1);
  }
  for (const auto& [offset, group] : slots) {
    if (offset < 0 || static_cast<std::size_t>(offset) + 4 > total || group < 0 ||
        group >= group_count) {
      throw py::value_error("a checksum slot lies outside the result");
    }
  }
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
  if (result == nullptr) {
    throw py::error_already_set();
  }
  py::bytes joined = py::reinterpret_steal<py::bytes>(result);
  unsigned char* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(result));
  std::vector<std::uint32_t> crcs(static_cast<std::size_t>(group_count), 0);
  {
    py::gil_scoped_release unlocked;
    constexpr std::size_t kPart = 1 << 20;
    std::size_t at = 0;
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      const auto* in = static_cast<const unsigned char*>(buffers[i]->data());
      const std::size_t size = buffers[i]->size();
      for (std::size_t done = 0; done < size; done += kPart) {
        const std::size_t part = std::min(kPart, size - done);
        std::memcpy(out + at + done, in + done, part);
        if (groups[i] >= 0) {
          std::uint32_t& crc = crcs[static_cast<std::size_t>(groups[i])];
          crc = velto::crc32(out + at + done, part, crc);
        }
      }
      at += size;
    }
    for (const auto& [offset, group] : slots) {
      const std::uint32_t crc = crcs[static_cast<std::size_t>(group)];
      for (int b = 0; b < 4; ++b) {
        out[offset + b] = static_cast<unsigned char>(crc >> (8 * b));
      }
    }
  }
  return joined;
}

}  // namespace

void bind_checksum(py::module_& m) {
  m.def("crc32", &checksum_of<velto::crc32>, py::arg("data"), py::arg("crc") = 0,
        "zlib.crc32's value, folded with carry-less multiplication where the processor has it.");
  m.def("assemble", &assemble, py::arg("pieces"), py::arg("groups"), py::arg("slots"));
  m.def("crc32_by_table", &checksum_of<velto::crc32_by_table>, py::arg("data"), py::arg("crc") = 0);
}
