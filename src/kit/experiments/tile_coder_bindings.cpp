#include "kit/experiments/tile_coder_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "agent/memory_budget.hpp"
#include "binding_support/construct_once.hpp"
#include "binding_support/method_descriptor.hpp"
#include "kit/experiments/scratch_array.hpp"
#include "kit/experiments/tile_coder.hpp"

namespace py = pybind11;

namespace {

// Calls that need at least this much memory are checked against the memory guard first.
constexpr std::uint64_t kGuardedCallBytes = std::uint64_t{1} << 26;

constexpr char kActiveFeatures[] = "active_features";

// A Python buffer released when it goes out of scope.
class BufferView {
 public:
  explicit BufferView(PyObject* object) {
    acquired_ = PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) == 0;
    if (!acquired_) {
      PyErr_Clear();  // not readable as strided memory: the caller falls back to the sequence
    }
  }
  ~BufferView() {
    if (acquired_) {
      PyBuffer_Release(&view_);
    }
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  bool acquired() const { return acquired_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool acquired_ = false;
};

std::string shape_text(const Py_buffer& view) {
  std::string text = "(";
  for (int axis = 0; axis < view.ndim; ++axis) {
    text += std::to_string(view.shape[axis]);
    text += view.ndim == 1 ? "," : (axis + 1 < view.ndim ? ", " : "");
  }
  return text + ")";
}

[[noreturn]] void wrong_shape(std::size_t dimensions, const std::string& got) {
  throw py::value_error("expected an observation of shape (" + std::to_string(dimensions) +
                        ",), got " + got);
}

// Copies a one-dimensional float64 or float32 buffer into `values`; false for any other element
// type, which the sequence path then converts element by element.
bool read_float_buffer(const Py_buffer& view, std::size_t dimensions, double* values) {
  const char* format = view.format == nullptr ? "B" : view.format;
  const bool is_double = std::strcmp(format, "d") == 0;
  const bool is_float = std::strcmp(format, "f") == 0;
  if (!is_double && !is_float) {
    return false;
  }
  if (view.ndim != 1 || static_cast<std::size_t>(view.shape[0]) != dimensions) {
    wrong_shape(dimensions, shape_text(view));
  }
  const char* element = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides == nullptr ? view.itemsize : view.strides[0];
  for (std::size_t d = 0; d < dimensions; ++d, element += stride) {
    if (is_double) {
      double value;
      std::memcpy(&value, element, sizeof value);
      values[d] = value;
    } else {
      float value;
      std::memcpy(&value, element, sizeof value);
      values[d] = static_cast<double>(value);
    }
  }
  return true;
}

// Any sequence of numbers (a list, a tuple, an array of another element type).
void read_sequence(py::handle observation, std::size_t dimensions, double* values) {
  if (PyUnicode_Check(observation.ptr()) || PyBytes_Check(observation.ptr()) ||
      !PySequence_Check(observation.ptr())) {
    throw py::type_error("observation must be a sequence or array of numbers, not " +
                         std::string(Py_TYPE(observation.ptr())->tp_name));
  }
  const py::sequence sequence = py::reinterpret_borrow<py::sequence>(observation);
  const std::size_t size = py::len(sequence);
  if (size != dimensions) {
    wrong_shape(dimensions, "(" + std::to_string(size) + ",)");
  }
  for (std::size_t d = 0; d < dimensions; ++d) {
    const py::object item = sequence[d];
    const double value = PyFloat_AsDouble(item.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
      throw py::error_already_set();
    }
    values[d] = value;
  }
}

py::list active_features(const velto::TileCoder& coder, py::handle observation) {
  const std::size_t dimensions = static_cast<std::size_t>(coder.num_dimensions());
  velto::ScratchArray<double> scratch_values(dimensions);
  double* values = scratch_values.data();
  bool read = false;
  if (PyObject_CheckBuffer(observation.ptr())) {
    const BufferView buffer(observation.ptr());
    read = buffer.acquired() && read_float_buffer(buffer.view(), dimensions, values);
  }
  if (!read) {
    read_sequence(observation, dimensions, values);
  }

  const std::size_t tilings = static_cast<std::size_t>(coder.num_tilings());
  // One call makes an index and a Python int (and its list slot) per tiling. The coder's
  // construction checked that one call fits; a call that needs much memory is checked again with
  // the agent's memory guard, so that memory taken since raises MemoryError instead of having the
  // process killed. The guard reads the system's and the cgroups' figures, which costs far more
  // than a call of a few tilings: small calls are left to the allocation's own error.
  const std::uint64_t call_bytes =
      velto::saturated_product(tilings, velto::TileCoder::kCallBytesPerTiling, 1);
  if (call_bytes >= kGuardedCallBytes) {
    velto::require_memory(call_bytes);
  }
  velto::ScratchArray<std::int32_t> scratch_indices(tilings);
  std::int32_t* indices = scratch_indices.data();
  coder.active_features(values, indices);

  py::list result(tilings);
  for (std::size_t t = 0; t < tilings; ++t) {
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(t), PyLong_FromLong(indices[t]));
  }
  return result;
}

// The indices of N observations at once, row n exactly what active_features gives for row n.
// `observations` is anything NumPy reads as an (N, num_dimensions) array of numbers (float, int
// or bool, as the single call takes them); float64 C-contiguous arrays are read in place.
py::array_t<std::int32_t> active_features_batch(const velto::TileCoder& coder,
                                                py::handle observations) {
  // The converting constructors keep NumPy's own error (ValueError for ragged rows, MemoryError
  // for a copy that cannot be had, whatever a caller's __array__ raises); py::array::ensure
  // would clear it and leave nothing to report.
  const py::array raw{py::reinterpret_borrow<py::object>(observations)};
  const char kind = raw.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
    throw py::type_error("observations must be an array of numbers, not of dtype " +
                         py::str(raw.dtype()).cast<std::string>());
  }
  const std::size_t dimensions = static_cast<std::size_t>(coder.num_dimensions());
  if (raw.ndim() != 2 || static_cast<std::size_t>(raw.shape(1)) != dimensions) {
    std::string shape = "(";
    for (py::ssize_t axis = 0; axis < raw.ndim(); ++axis) {
      shape += std::to_string(raw.shape(axis)) + (raw.ndim() == 1 ? "," : "");
      shape += axis + 1 < raw.ndim() ? ", " : "";
    }
    throw py::value_error("expected observations of shape (N, " + std::to_string(dimensions) +
                          "), got " + shape + ")");
  }
  const std::size_t tilings = static_cast<std::size_t>(coder.num_tilings());
  // A broadcast or strided array can stand for far more rows than it holds: its float64 copy and
  // the result are checked against the memory guard first, as the single call checks a large
  // call, so that a batch too large raises MemoryError rather than being committed page by page
  // until the kernel kills the process.
  const std::uint64_t row_count = static_cast<std::uint64_t>(raw.shape(0));
  const std::uint64_t result_bytes =
      velto::saturated_product(row_count, tilings, sizeof(std::int32_t));
  const std::uint64_t copy_bytes = velto::saturated_product(row_count, dimensions, sizeof(double));
  const std::uint64_t batch_bytes =
      result_bytes > UINT64_MAX - copy_bytes ? UINT64_MAX : result_bytes + copy_bytes;
  if (batch_bytes >= kGuardedCallBytes) {
    try {
      velto::require_memory(batch_bytes);
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError,
                      ("a batch of " + std::to_string(row_count) + " observations needs " +
                       std::to_string(batch_bytes) + " bytes, more than this process can have")
                          .c_str());
      throw py::error_already_set();
    }
  }
  // Every element becomes the double that the single call's PyFloat_AsDouble makes of it.
  const py::array_t<double, py::array::c_style | py::array::forcecast> values{raw};
  const std::size_t rows = static_cast<std::size_t>(raw.shape(0));
  py::array_t<std::int32_t> result(
      {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(tilings)});
  const double* in = values.data();
  std::int32_t* out = result.mutable_data();
  for (std::size_t n = 0; n < rows; ++n) {
    try {
      coder.active_features(in + n * dimensions, out + n * tilings);
    } catch (const std::invalid_argument& error) {
      throw py::value_error("observations[" + std::to_string(n) + "]: " + error.what());
    }
  }
  return result;
}

constexpr const char* kClassDoc =
    R"doc(Tile coding of a box into sparse binary features for ``step``.

Each of ``num_tilings`` tilings is a regular grid of ``tiles_per_dimension`` tiles per
dimension over the box ``[lows, highs]`` (one more per axis, so that the shifted grid still
covers the box); tiling ``t`` is shifted by ``t * (1, 3, 5, ...) / num_tilings`` of a tile along
the axes (modulo one tile). An observation activates one tile per tiling; values outside the
box are clipped onto its faces, and a NaN raises ValueError.

Without ``hash_size`` tiling ``t`` owns the indices ``[t * tiles_per_tiling, (t + 1) *
tiles_per_tiling)`` and ``num_features = num_tilings * (tiles_per_dimension + 1) ** dimensions``.
With ``hash_size`` every tile is hashed into ``[0, hash_size)``: ``num_features == hash_size``,
independent of the dimension, and two tiles may share an index (if two tilings of one
observation do, the index is listed twice and ``step`` counts it twice).

Example:
    >>> from velto_kit import TileCoder
    >>> coder = TileCoder([-1.0, 0.0], [1.0, 5.0], tiles_per_dimension=4, num_tilings=2)
    >>> coder.num_features
    50
    >>> coder.active_features([0.0, 2.5])
    [12, 37]
)doc";

}  // namespace

void bind_tile_coder(py::module_& m) {
  py::class_<velto::TileCoder>(m, "TileCoder", kClassDoc)
      .def(
          "__init__",
          [](py::detail::value_and_holder& self, std::vector<double> lows,
             std::vector<double> highs, std::int32_t tiles_per_dimension,
             std::int32_t num_tilings, std::optional<std::int32_t> hash_size) {
            velto::construct_once<velto::TileCoder>(self, std::move(lows), std::move(highs),
                                                    tiles_per_dimension, num_tilings, hash_size);
          },
          py::detail::is_new_style_constructor(), py::arg("lows"), py::arg("highs"), py::arg("tiles_per_dimension"),
           py::arg("num_tilings"), py::kw_only(), py::arg("hash_size") = py::none())
      .def_property_readonly("num_features", &velto::TileCoder::num_features,
                             "Number of features: every index is in [0, num_features).")
      .def_property_readonly("num_tilings", &velto::TileCoder::num_tilings,
                             "Tilings, and so active features per observation.")
      .def_property_readonly("tiles_per_dimension", &velto::TileCoder::tiles_per_dimension,
                             "Tiles across the box along each dimension.")
      .def_property_readonly("num_dimensions", &velto::TileCoder::num_dimensions,
                             "Length of an observation.")
      .def_property_readonly(
          "hash_size",
          [](const velto::TileCoder& coder) -> std::optional<std::int32_t> {
            if (coder.hash_size() == 0) {
              return std::nullopt;
            }
            return coder.hash_size();
          },
          "Features the tiles are hashed into, or None without hashing.")
      .def_property_readonly(
          "tiles_per_tiling",
          [](const velto::TileCoder& coder) -> std::optional<std::int64_t> {
            if (coder.tiles_per_tiling() == 0) {
              return std::nullopt;
            }
            return coder.tiles_per_tiling();
          },
          "Tiles of one tiling, (tiles_per_dimension + 1) ** num_dimensions, or None when\n"
          "that many cannot be counted in 32 bits (hashing only).")
      .def_property_readonly("lows", &velto::TileCoder::lows, "Lower corner of the box.")
      .def_property_readonly("highs", &velto::TileCoder::highs, "Upper corner of the box.")
      .def("active_features", &active_features, py::arg("observation"),
           "The index of the tile that `observation` falls in, for every tiling, as a list of\n"
           "int in tiling order: what ``step`` takes. `observation` is a sequence or a\n"
           "one-dimensional array (float64 and float32 are read directly) of num_dimensions\n"
           "numbers. Raises ValueError for a NaN or a wrong length.")
      .def("active_features_batch", &active_features_batch, py::arg("observations"),
           "The indices of every row of `observations`, an array of shape (N, num_dimensions),\n"
           "as an int32 array of shape (N, num_tilings): row n is exactly\n"
           "``active_features(observations[n])``. Raises ValueError naming the row for a NaN,\n"
           "ValueError for a wrong shape or ragged rows, TypeError for an array that does not\n"
           "hold numbers and MemoryError for a batch whose result cannot be had; an error\n"
           "raised while converting `observations` (by its own ``__array__``, say) propagates\n"
           "as it is.")
      .def("__repr__",
           [](const velto::TileCoder& coder) {
             return "TileCoder(" + py::repr(py::cast(coder.lows())).cast<std::string>() + ", " +
                    py::repr(py::cast(coder.highs())).cast<std::string>() + ", " +
                    std::to_string(coder.tiles_per_dimension()) + ", " +
                    std::to_string(coder.num_tilings()) + ", hash_size=" +
                    (coder.hash_size() == 0 ? "None" : std::to_string(coder.hash_size())) + ")";
           })
      // Pickled as its constructor's arguments, so that worker processes (a process pool, Ray)
      // can be handed a coder; the copy computes the same tiles.
      .def("__getstate__",
           [](const velto::TileCoder& coder) {
             const py::object hash_size =
                 coder.hash_size() == 0 ? py::none() : py::cast(coder.hash_size());
             return py::make_tuple(coder.lows(), coder.highs(), coder.tiles_per_dimension(),
                                   coder.num_tilings(), hash_size);
           })
      .def(
          "__setstate__",
          [](py::detail::value_and_holder& self, const py::tuple& state) {
            if (state.size() != 5) {
              throw py::value_error("TileCoder state must hold 5 items, not " +
                                    std::to_string(state.size()));
            }
            // Every conversion (which may run Python code) before the coder is stored.
            velto::TileCoder restored(
                state[0].cast<std::vector<double>>(), state[1].cast<std::vector<double>>(),
                state[2].cast<std::int32_t>(), state[3].cast<std::int32_t>(),
                state[4].cast<std::optional<std::int32_t>>());
            velto::construct_once<velto::TileCoder>(self, std::move(restored));
          },
          py::detail::is_new_style_constructor(), py::arg("state"));
  // Called once per step of every loop: a method cProfile can follow (see MethodDescriptor).
  velto::MethodDescriptor<kActiveFeatures>::install(m.attr("TileCoder"));
}
