#include "kit/experiments/task_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binding_support/construct_once.hpp"
#include "kit/experiments/numpy_random.hpp"
#include "kit/experiments/python_seed.hpp"
#include "kit/experiments/tasks/task.hpp"

namespace py = pybind11;

namespace {

using velto::NumpyGenerator;
using velto::Pcg64State;
using velto::tasks::Task;
using velto::tasks::TaskOption;
using velto::tasks::TaskOptions;
using velto::tasks::TaskState;

// 128-bit integers to and from Python's int.
py::int_ to_int(velto::Uint128 value) {
  const py::int_ high(static_cast<std::uint64_t>(value >> 64));
  const py::int_ low(static_cast<std::uint64_t>(value));
  const py::object shifted =
      py::reinterpret_steal<py::object>(PyNumber_Lshift(high.ptr(), py::int_(64).ptr()));
  if (!shifted) {
    throw py::error_already_set();
  }
  const py::object joined = py::reinterpret_steal<py::object>(PyNumber_Or(shifted.ptr(), low.ptr()));
  if (!joined) {
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::int_>(joined);
}

velto::Uint128 to_uint128(const py::handle& value, const std::string& name) {
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
    throw py::type_error(name + " must be an int");
  }
  const int negative = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT);
  if (negative < 0) {
    throw py::error_already_set();
  }
  const py::object high_part =
      py::reinterpret_steal<py::object>(PyNumber_Rshift(value.ptr(), py::int_(64).ptr()));
  if (!high_part) {
    throw py::error_already_set();
  }
  const unsigned long long high =
      negative != 0 ? 0ULL : PyLong_AsUnsignedLongLong(high_part.ptr());
  if (negative != 0 || (high == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
    PyErr_Clear();
    throw py::value_error(name + " must lie in [0, 2**128)");
  }
  const unsigned long long low = PyLong_AsUnsignedLongLongMask(value.ptr());
  return (static_cast<velto::Uint128>(high) << 64) | low;
}

py::dict generator_state_dict(const Pcg64State& state) {
  py::dict inner;
  inner["state"] = to_int(state.state);
  inner["inc"] = to_int(state.inc);
  py::dict out;
  out["bit_generator"] = "PCG64";
  out["state"] = inner;
  out["has_uint32"] = state.has_uint32 ? 1 : 0;
  out["uinteger"] = state.uinteger;
  return out;
}

py::object item(const py::dict& dict, const char* key, const std::string& where) {
  if (!dict.contains(key)) {
    throw py::value_error(where + " has no entry '" + key + "'");
  }
  return dict[key];
}

Pcg64State generator_state_from(const py::handle& value) {
  if (!py::isinstance<py::dict>(value)) {
    throw py::type_error("a generator state must be a dict as bit_generator.state gives it");
  }
  const auto dict = py::reinterpret_borrow<py::dict>(value);
  const py::object name = item(dict, "bit_generator", "the generator state");
  if (!py::isinstance<py::str>(name) || name.cast<std::string>() != "PCG64") {
    throw py::value_error("the generator state must be PCG64's");
  }
  const py::object inner = item(dict, "state", "the generator state");
  if (!py::isinstance<py::dict>(inner)) {
    throw py::type_error("the generator state's 'state' must be a dict");
  }
  const auto inner_dict = py::reinterpret_borrow<py::dict>(inner);
  Pcg64State state;
  state.state = to_uint128(item(inner_dict, "state", "the generator's 'state'"), "state");
  state.inc = to_uint128(item(inner_dict, "inc", "the generator's 'state'"), "inc");
  const velto::Uint128 has_uint32 =
      to_uint128(item(dict, "has_uint32", "the generator state"), "has_uint32");
  const velto::Uint128 uinteger =
      to_uint128(item(dict, "uinteger", "the generator state"), "uinteger");
  if (has_uint32 > 1) {
    throw py::value_error("has_uint32 must be 0 or 1");
  }
  if (uinteger > 0xffffffffU) {
    throw py::value_error("uinteger must lie in [0, 2**32)");
  }
  state.has_uint32 = has_uint32 == 1;
  state.uinteger = static_cast<std::uint32_t>(uinteger);
  return state;
}

// gym.make's keyword arguments. None means the default for render_mode (no rendering) and
// max_episode_steps (the registered limit), so those are left out; the task refuses the rest of
// what it does not take.
TaskOptions task_options(const py::dict& options) {
  TaskOptions out;
  for (const auto& [key, value] : options) {
    if (!py::isinstance<py::str>(key)) {
      throw py::type_error("option names must be str");
    }
    const auto name = key.cast<std::string>();
    if (value.is_none()) {
      if (name == "render_mode" || name == "max_episode_steps") {
        continue;
      }
      throw py::value_error("option " + name + "=None is not supported by the native tasks");
    }
    if (PyBool_Check(value.ptr())) {
      out.emplace(name, TaskOption(value.cast<bool>()));
    } else if (PyLong_Check(value.ptr())) {
      std::int64_t integer = 0;
      try {
        integer = value.cast<std::int64_t>();
      } catch (const py::cast_error&) {
        throw py::value_error("option " + name + " is out of range");
      }
      out.emplace(name, TaskOption(integer));
    } else if (PyFloat_Check(value.ptr())) {
      out.emplace(name, TaskOption(value.cast<double>()));
    } else if (py::isinstance<py::str>(value)) {
      out.emplace(name, TaskOption(value.cast<std::string>()));
    } else {
      throw py::value_error("option " + name + " of type " +
                            std::string(Py_TYPE(value.ptr())->tp_name) +
                            " is not supported by the native tasks");
    }
  }
  return out;
}

class NativeTask {
 public:
  NativeTask(std::string env_id, const py::dict& options)
      : env_id_(std::move(env_id)), task_(velto::tasks::make_task(env_id_, task_options(options))) {}

  const std::string& env_id() const { return env_id_; }
  Task& task() { return *task_; }
  const Task& task() const { return *task_; }

  py::object observation() const {
    const double* values = task_->observation();
    if (task_->discrete_observation()) {
      return py::int_(static_cast<std::int64_t>(values[0]));
    }
    py::array_t<float> array(static_cast<py::ssize_t>(task_->observation_size()));
    float* data = array.mutable_data();
    for (std::size_t i = 0; i < task_->observation_size(); ++i) {
      data[i] = static_cast<float>(values[i]);  // already binary32 values
    }
    return std::move(array);
  }

  py::object bounds(const std::vector<double>& values) const {
    if (task_->discrete_observation()) {
      return py::none();
    }
    py::array_t<float> array(static_cast<py::ssize_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
      array.mutable_data()[i] = static_cast<float>(values[i]);
    }
    return std::move(array);
  }

 private:
  std::string env_id_;
  std::unique_ptr<Task> task_;
};

py::dict task_state_dict(const NativeTask& bound) {
  const TaskState state = bound.task().state();
  py::dict out;
  out["env_id"] = bound.env_id();
  out["values"] = state.values;
  out["generator"] = state.elapsed_steps < 0 ? py::object(py::none())
                                             : py::object(generator_state_dict(state.generator));
  out["elapsed_steps"] = state.elapsed_steps;
  return out;
}

void set_task_state(NativeTask& bound, const py::dict& dict) {
  const py::object env_id = item(dict, "env_id", "the task state");
  if (!py::isinstance<py::str>(env_id) || env_id.cast<std::string>() != bound.env_id()) {
    throw py::value_error("the state is not one of a " + bound.env_id() + " task");
  }
  TaskState state;
  const py::object elapsed = item(dict, "elapsed_steps", "the task state");
  if (!PyLong_Check(elapsed.ptr()) || PyBool_Check(elapsed.ptr())) {
    throw py::type_error("elapsed_steps must be an int");
  }
  state.elapsed_steps = elapsed.cast<std::int64_t>();
  state.values = item(dict, "values", "the task state").cast<std::vector<double>>();
  const py::object generator = item(dict, "generator", "the task state");
  if (state.elapsed_steps >= 0) {
    state.generator = generator_state_from(generator);
  } else if (!generator.is_none()) {
    throw py::value_error("a task that was never reset has no generator state");
  }
  bound.task().set_state(state);  // checks the values before changing anything
}

constexpr char kTaskDoc[] = R"doc(One of Gymnasium's classic tasks computed in C++, step for step as
``gym.make(env_id, **options)`` computes it: the same observations (float32 for a Box, int for a
Discrete space), rewards, terminations and truncations for the same seeds and actions.

Args:
    env_id: One of ``native_task_ids()``.
    options: gym.make's keyword arguments for that task (``max_episode_steps``, and the task's
        own, such as FrozenLake's ``is_slippery`` and ``map_name``); ``render_mode=None`` is
        accepted.

Raises:
    ValueError: An id that is not a native task, or an option that it does not take or whose
        value it cannot honour.

Examples:
    >>> from velto_kit._native import NativeTask
    >>> task = NativeTask("CartPole-v1", {})
    >>> task.reset(seed=0).dtype, task.num_actions, task.max_episode_steps
    (dtype('float32'), 2, 500)
)doc";

constexpr char kGeneratorDoc[] = R"doc(numpy.random.default_rng(seed) in C++: PCG64 seeded through
SeedSequence, drawing exactly the numbers NumPy's Generator draws with the same methods.

Args:
    seed: Any int of 0 or more, as SeedSequence takes it.

Examples:
    >>> import numpy as np
    >>> from velto_kit._native import NumpyGenerator
    >>> NumpyGenerator(7).random() == np.random.default_rng(7).random()
    True
)doc";

}  // namespace

void bind_tasks(py::module_& m) {
  py::class_<NumpyGenerator>(m, "NumpyGenerator", kGeneratorDoc)
      .def(
          "__init__",
          [](py::detail::value_and_holder& self, const py::object& seed) {
            velto::construct_once<NumpyGenerator>(self, velto::seed_from(seed, "seed"));
          },
          py::detail::is_new_style_constructor(), py::arg("seed"))
      .def("next_uint64", &NumpyGenerator::next_uint64,
           "The next 64-bit output (bit_generator.random_raw()).")
      .def("next_uint32", &NumpyGenerator::next_uint32,
           "The next 32-bit output: the lower half of a new 64-bit output, or the upper half\n"
           "kept from the previous call.")
      .def("random", &NumpyGenerator::random, "Generator.random(): a float in [0, 1).")
      .def("uniform", &NumpyGenerator::uniform, py::arg("low"), py::arg("high"),
           "Generator.uniform(low, high) for one value.")
      .def(
          "integers",
          [](NumpyGenerator& generator, std::int64_t high) {
            if (high < 1) {
              throw py::value_error("high must be at least 1");
            }
            return generator.integers(high);
          },
          py::arg("high"), "Generator.integers(high): one int in [0, high).")
      .def_property(
          "state", [](const NumpyGenerator& generator) { return generator_state_dict(generator.state()); },
          [](NumpyGenerator& generator, const py::object& state) {
            generator.set_state(generator_state_from(state));
          },
          "The state as numpy.random.PCG64().state shows it; assignable.");

  py::class_<NativeTask>(m, "NativeTask", kTaskDoc)
      .def(
          "__init__",
          [](py::detail::value_and_holder& self, std::string env_id, const py::dict& options) {
            // Every conversion of the options happens in the constructor, before it stores.
            auto built = std::make_unique<NativeTask>(std::move(env_id), options);
            if (!self.instance_registered()) {
              self.value_ptr() = built.release();
            }
          },
          py::detail::is_new_style_constructor(), py::arg("env_id"), py::arg("options"))
      .def_property_readonly("env_id", &NativeTask::env_id, "The task's Gymnasium id.")
      .def_property_readonly(
          "num_actions", [](const NativeTask& task) { return task.task().num_actions(); },
          "Size of the Discrete action space.")
      .def_property_readonly(
          "observation_n",
          [](const NativeTask& task) -> std::optional<std::int64_t> {
            if (!task.task().discrete_observation()) {
              return std::nullopt;
            }
            return task.task().observation_count();
          },
          "Size of a Discrete observation space, or None for a Box.")
      .def_property_readonly(
          "observation_low",
          [](const NativeTask& task) { return task.bounds(task.task().observation_low()); },
          "The Box's lower bounds as float32, or None for a Discrete space.")
      .def_property_readonly(
          "observation_high",
          [](const NativeTask& task) { return task.bounds(task.task().observation_high()); },
          "The Box's upper bounds as float32, or None for a Discrete space.")
      .def_property_readonly(
          "max_episode_steps",
          [](const NativeTask& task) { return task.task().max_episode_steps(); },
          "The time limit in steps, or None.")
      .def(
          "reset",
          [](NativeTask& task, const py::object& seed) {
            task.task().reset(seed.is_none() ? std::nullopt
                                             : std::optional(velto::seed_from(seed, "seed")));
            return task.observation();
          },
          py::kw_only(), py::arg("seed") = py::none(),
          "env.reset(seed=seed)'s observation, for any int seed of 0 or more; without a seed\n"
          "the generator goes on (or, at the first reset, is seeded from the operating system).")
      .def(
          "step",
          [](NativeTask& task, std::int32_t action) {
            velto::tasks::Transition transition;
            try {
              transition = task.task().step(action);
            } catch (const std::out_of_range& error) {
              throw py::value_error(error.what());
            }
            return py::make_tuple(task.observation(), transition.reward, transition.terminated,
                                  transition.truncated);
          },
          py::arg("action"),
          "env.step(action) as (observation, reward, terminated, truncated). Raises ValueError\n"
          "for an action outside [0, num_actions) and RuntimeError before the first reset.")
      .def("get_state", &task_state_dict,
           "Everything the task needs to go on exactly where it is, as plain data: env_id, the\n"
           "task's values, the generator's state as bit_generator.state shows it (None before\n"
           "the first reset) and the steps of the episode so far (-1 before the first reset).")
      .def("set_state", &set_task_state, py::arg("state"),
           "Puts back a state from get_state; the task then goes on exactly as the one it was\n"
           "taken from. Raises ValueError, changing nothing, for a state that does not fit.");

  m.def("native_task_ids", &velto::tasks::task_ids, "The ids NativeTask knows.");
  m.def("exact_native_task_ids", &velto::tasks::exact_task_ids,
        "The ids whose NativeTask gives Gymnasium's numbers bit for bit.");
}
