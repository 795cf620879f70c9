#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <typeinfo>
#include <vector>

#include "agent/velto_actor_critic.hpp"

namespace py = pybind11;

namespace {

// When an object's __init__ never ran (VeltoActorCritic.__new__(VeltoActorCritic)), the binding
// library hands a method freshly allocated, unconstructed storage. Only an agent that __init__
// built is registered as the value of a Python object, so anything else is refused unused.
velto::VeltoActorCritic& constructed(velto::VeltoActorCritic& agent) {
  static const py::detail::type_info* const type =
      py::detail::get_type_info(typeid(velto::VeltoActorCritic));
  if (!py::detail::get_object_handle(&agent, type)) {
    throw py::type_error("VeltoActorCritic.__init__() has not been called on this object");
  }
  return agent;
}

}  // namespace

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
             float reward,
             float gamma) { return constructed(agent).step(feature_indices, reward, gamma); },
          py::arg("feature_indices"), py::arg("reward"), py::arg("gamma"));
}
