#include <pybind11/pybind11.h>

#include "binding_support/own_exception_translation.hpp"
#include "kit/experiments/native_loop_bindings.hpp"
#include "kit/experiments/population_bindings.hpp"
#include "kit/experiments/task_bindings.hpp"
#include "kit/experiments/tile_coder_bindings.hpp"
#include "kit/state/checkpoint_bindings.hpp"
#include "kit/state/checksum_bindings.hpp"
#include "kit/state/evaluation_bindings.hpp"
#include "kit/state/state_bindings.hpp"

namespace py = pybind11;

// The velto_kit extension: works on the agents of velto_actor_critic, whose class is registered
// globally in the binding library, so the functions here take and return those very objects.
PYBIND11_MODULE(_native, m) {
  m.doc() = "Native part of velto_kit";
  // The agent's class must be registered before any function here converts an agent.
  py::module_::import("velto_actor_critic");
  velto::translate_own_exceptions();
  bind_tile_coder(m);
  bind_state(m);
  bind_evaluation(m);
  bind_checksum(m);
  bind_population(m);
  bind_native_loop(m);
  bind_checkpoint(m);
  bind_tasks(m);
}
