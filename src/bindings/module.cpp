#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "binding_support/constructed_agent.hpp"

namespace py = pybind11;

PYBIND11_MODULE(velto_actor_critic, m) {
  m.doc() = "Python bindings for Velto Actor-Critic algorithm";

  py::class_<velto::VeltoActorCritic>(m, "VeltoActorCritic")
      .def(py::init<std::int32_t, std::int32_t, float, float, float, float, float, float, float,
                    float, std::int32_t>(),
           py::arg("num_features"), py::arg("num_actions"), py::arg("lambda_"), py::arg("alpha"),
           py::arg("epsilon"), py::arg("meta_step_size"), py::arg("eta"), py::arg("eta_actor"),
           py::arg("decay"), py::arg("action_prob_at_init"), py::arg("seed"))
      .def(
          "step",
          [](velto::VeltoActorCritic& agent, const std::vector<std::int32_t>& feature_indices,
             float reward, float gamma) {
            return velto::constructed(agent).step(feature_indices, reward, gamma);
          },
          py::arg("feature_indices"), py::arg("reward"), py::arg("gamma"));
}
