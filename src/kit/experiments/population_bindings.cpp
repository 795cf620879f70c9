#include "kit/experiments/population_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "binding_support/constructed_agent.hpp"
#include "kit/experiments/population.hpp"

namespace py = pybind11;

namespace {

using velto::VeltoActorCritic;

// The population together with the Python objects of its agents, which it keeps alive: the
// native population holds only their addresses.
class BoundPopulation {
 public:
  BoundPopulation(py::tuple agents, std::int32_t threads)
      : agents_(std::move(agents)), population_(addresses(agents_), threads) {}

  const py::tuple& agents() const { return agents_; }
  velto::Population& population() { return population_; }

 private:
  static std::vector<VeltoActorCritic*> addresses(const py::tuple& agents) {
    std::vector<VeltoActorCritic*> result;
    result.reserve(agents.size());
    for (std::size_t i = 0; i < agents.size(); ++i) {
      const py::handle agent = agents[i];
      if (!py::isinstance<VeltoActorCritic>(agent)) {
        throw py::type_error("agents[" + std::to_string(i) + "] must be a VeltoActorCritic, not " +
                             std::string(Py_TYPE(agent.ptr())->tp_name));
      }
      VeltoActorCritic& native = agent.cast<VeltoActorCritic&>();
      try {
        velto::constructed(native);
      } catch (const py::type_error& error) {
        throw py::type_error("agents[" + std::to_string(i) + "]: " + error.what());
      }
      result.push_back(&native);
    }
    return result;
  }

  py::tuple agents_;
  velto::Population population_;
};

// A Python float (the same for every row) or a one-dimensional C-contiguous float32 or float64
// array of `size` elements, as binary32: each value converted as a Python float argument of the
// agent's step is, double to float rounded to nearest.
std::vector<float> binary32(const py::object& values, std::size_t size, const char* name) {
  if (PyFloat_Check(values.ptr())) {
    return std::vector<float>(size, static_cast<float>(PyFloat_AS_DOUBLE(values.ptr())));
  }
  if (!py::isinstance<py::array>(values)) {
    throw py::type_error(std::string(name) + " must be a float or an array");
  }
  const py::array array = py::reinterpret_borrow<py::array>(values);
  if (array.ndim() != 1 || static_cast<std::size_t>(array.shape(0)) != size ||
      !(array.flags() & py::array::c_style)) {
    throw py::value_error(std::string(name) + " must be a contiguous array of shape (" +
                          std::to_string(size) + ",)");
  }
  std::vector<float> result(size);
  if (array.dtype().is(py::dtype::of<double>())) {
    const double* data = static_cast<const double*>(array.data());
    for (std::size_t i = 0; i < size; ++i) {
      result[i] = static_cast<float>(data[i]);
    }
  } else if (array.dtype().is(py::dtype::of<float>())) {
    std::memcpy(result.data(), array.data(), size * sizeof(float));
  } else {
    throw py::type_error(std::string(name) + " must be float32 or float64");
  }
  return result;
}

// Reads the features: an int32 or int64 array, of shape (N, k) without offsets or flat with
// N + 1 ascending offsets into it. `features` is made C-contiguous (a copy where it is not).
velto::FeatureRows feature_rows(py::array& features, const std::optional<py::array>& offsets,
                                std::size_t size) {
  velto::FeatureRows rows;
  if (!(features.flags() & py::array::c_style)) {
    features = py::module_::import("numpy").attr("ascontiguousarray")(features);
  }
  if (features.dtype().is(py::dtype::of<std::int32_t>())) {
    rows.narrow = static_cast<const std::int32_t*>(features.data());
  } else if (features.dtype().is(py::dtype::of<std::int64_t>())) {
    rows.wide = static_cast<const std::int64_t*>(features.data());
  } else {
    throw py::type_error("features must be int32 or int64");
  }
  const std::size_t total = static_cast<std::size_t>(features.size());
  if (!offsets) {
    if (features.ndim() != 2 || static_cast<std::size_t>(features.shape(0)) != size) {
      throw py::value_error("features must have shape (" + std::to_string(size) + ", k)");
    }
    rows.width = static_cast<std::size_t>(features.shape(1));
    return rows;
  }
  const py::array& bounds = *offsets;
  if (!bounds.dtype().is(py::dtype::of<std::int64_t>())) {
    throw py::type_error("offsets must be int64");
  }
  if (features.ndim() != 1 || bounds.ndim() != 1 ||
      static_cast<std::size_t>(bounds.shape(0)) != size + 1 ||
      !(bounds.flags() & py::array::c_style)) {
    throw py::value_error("ragged features need a flat array and " + std::to_string(size + 1) +
                          " offsets");
  }
  const std::int64_t* at = static_cast<const std::int64_t*>(bounds.data());
  if (at[0] != 0 || static_cast<std::size_t>(at[size]) != total) {
    throw py::value_error("offsets must run from 0 to the number of features");
  }
  for (std::size_t i = 0; i < size; ++i) {
    if (at[i + 1] < at[i]) {
      throw py::value_error("offsets must not decrease");
    }
  }
  rows.offsets = at;
  return rows;
}

py::array_t<bool> step(BoundPopulation& bound, py::array features,
                       const std::optional<py::array>& offsets, const py::object& rewards,
                       const py::object& gammas, const std::optional<py::array>& active) {
  velto::Population& population = bound.population();
  const std::size_t size = population.size();
  const velto::FeatureRows rows = feature_rows(features, offsets, size);
  const std::vector<float> reward_values = binary32(rewards, size, "rewards");
  const std::vector<float> gamma_values = binary32(gammas, size, "gammas");
  const std::uint8_t* active_rows = nullptr;
  if (active) {
    if (active->ndim() != 1 || static_cast<std::size_t>(active->shape(0)) != size ||
        !active->dtype().is(py::dtype::of<bool>()) || !(active->flags() & py::array::c_style)) {
      throw py::value_error("active must be a contiguous bool array of shape (" +
                            std::to_string(size) + ",)");
    }
    active_rows = reinterpret_cast<const std::uint8_t*>(active->data());
  }
  py::array_t<bool> taken(
      {static_cast<py::ssize_t>(size), static_cast<py::ssize_t>(population.num_actions())});
  // The interpreter lock stays held while native threads step: it is what keeps every other
  // Python thread from reading or changing an agent half-stepped. The workers never touch Python.
  try {
    population.step(rows, reward_values.data(), gamma_values.data(), active_rows,
                    reinterpret_cast<std::uint8_t*>(taken.mutable_data()));
  } catch (const velto::PopulationStepError& error) {
    try {
      std::rethrow_exception(error.cause());
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError, error.what());
      throw py::error_already_set();
    } catch (...) {
      throw std::runtime_error(error.what());
    }
  }
  return taken;
}

}  // namespace

void bind_population(py::module_& m) {
  py::class_<BoundPopulation>(m, "Population")
      .def(py::init([](const py::sequence& agents, std::int32_t threads) {
             return std::make_unique<BoundPopulation>(py::tuple(agents), threads);
           }),
           py::arg("agents"), py::arg("threads"))
      .def_property_readonly("agents", &BoundPopulation::agents)
      .def_property_readonly("threads",
                             [](BoundPopulation& bound) { return bound.population().threads(); })
      .def_property_readonly(
          "num_actions", [](BoundPopulation& bound) { return bound.population().num_actions(); })
      .def("__len__", [](BoundPopulation& bound) { return bound.population().size(); })
      // Not part of velto_kit.Population's interface: tests set 0 to split every call.
      .def_property(
          "work_per_block",
          [](BoundPopulation& bound) { return bound.population().work_per_block(); },
          [](BoundPopulation& bound, std::size_t work) {
            bound.population().set_work_per_block(work);
          })
      .def("step", &step, py::arg("features"), py::arg("offsets"), py::arg("rewards"),
           py::arg("gammas"), py::arg("active"));
}
