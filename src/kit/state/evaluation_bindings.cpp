#include "kit/state/evaluation_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "binding_support/constructed_agent.hpp"
#include "kit/state/evaluation.hpp"

namespace py = pybind11;

void bind_evaluation(py::module_& m) {
  // Both return float32 arrays rather than Python floats, whose round trip through double would
  // not keep a signalling NaN's bits; velto_kit hands out numpy.float32 values from them.
  m.def(
      "value",
      [](velto::VeltoActorCritic& agent, const std::vector<std::int32_t>& features) {
        py::array_t<float> result(1);
        result.mutable_at(0) = velto::critic_value(velto::constructed(agent), features);
        return result;
      },
      py::arg("agent"), py::arg("features"));
  m.def(
      "action_probabilities",
      [](velto::VeltoActorCritic& agent, const std::vector<std::int32_t>& features) {
        const std::vector<float> probabilities =
            velto::action_probabilities(velto::constructed(agent), features);
        py::array_t<float> result(static_cast<py::ssize_t>(probabilities.size()));
        std::copy(probabilities.begin(), probabilities.end(), result.mutable_data());
        return result;
      },
      py::arg("agent"), py::arg("features"));
}
