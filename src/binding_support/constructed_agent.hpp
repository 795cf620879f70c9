#pragma once

#include <pybind11/pybind11.h>

#include <typeinfo>

#include "agent/velto_actor_critic.hpp"

namespace velto {

// When an object's __init__ never ran (VeltoActorCritic.__new__(VeltoActorCritic)), the binding
// library hands a function taking the agent freshly allocated, unconstructed storage. Only an
// agent that __init__ (or the kit) built is registered as the value of a Python object, so
// anything else is refused unused. Shared by the module and the kit, which both take agents.
inline VeltoActorCritic& constructed(VeltoActorCritic& agent) {
  namespace py = pybind11;
  // Looked up on every call, never cached: each interpreter (sub-interpreters included) has its
  // own record of the class, and an agent is registered under the record of its own interpreter.
  const py::detail::type_info* const type = py::detail::get_type_info(typeid(VeltoActorCritic));
  if (!py::detail::get_object_handle(&agent, type)) {
    throw py::type_error("VeltoActorCritic.__init__() has not been called on this object");
  }
  return agent;
}

}  // namespace velto
