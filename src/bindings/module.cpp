#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "binding_support/agent_init.hpp"
#include "binding_support/constructed_agent.hpp"
#include "binding_support/instance_creation_guard.hpp"
#include "binding_support/method_descriptor.hpp"
#include "binding_support/own_exception_translation.hpp"

namespace py = pybind11;

namespace {
constexpr char kStep[] = "step";
}  // namespace

PYBIND11_MODULE(velto_actor_critic, m) {
  m.doc() = "Python bindings for Velto Actor-Critic algorithm";
  velto::translate_own_exceptions();
  velto::guard_instance_creation();

  py::class_<velto::VeltoActorCritic> cls(m, "VeltoActorCritic");
  cls.def("__init__", &velto::construct_agent, py::detail::is_new_style_constructor(),
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
  velto::MethodDescriptor<kStep>::install(cls);
}
