#include "kit/experiments/native_loop_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "binding_support/constructed_agent.hpp"
#include "kit/experiments/native_loop.hpp"
#include "kit/experiments/python_seed.hpp"
#include "kit/experiments/tasks/task.hpp"
#include "kit/experiments/tile_coder.hpp"
#include "kit/state/crc32.hpp"
#include "kit/state/learner_fields.hpp"

namespace py = pybind11;

namespace {

using velto::VeltoActorCritic;
// NumPy's generator state is 128 bits wide; the extension keeps the compiler's own type quiet.
__extension__ typedef unsigned __int128 Uint128;

// ---- conversions ---------------------------------------------------------------------------

velto::tasks::TaskOptions task_options(const py::dict& options) {
  velto::tasks::TaskOptions result;
  for (const auto& [key, value] : options) {
    const std::string name = py::str(key);
    if (value.is_none() && (name == "render_mode" || name == "max_episode_steps")) {
      continue;  // gym.make's own defaults
    }
    if (PyBool_Check(value.ptr())) {
      result[name] = value.cast<bool>();
    } else if (PyLong_Check(value.ptr())) {
      result[name] = value.cast<std::int64_t>();
    } else if (PyFloat_Check(value.ptr())) {
      result[name] = value.cast<double>();
    } else if (PyUnicode_Check(value.ptr())) {
      result[name] = value.cast<std::string>();
    } else {
      throw py::type_error("option " + name + " must be a bool, int, float or str, not " +
                           std::string(Py_TYPE(value.ptr())->tp_name));
    }
  }
  return result;
}

py::int_ from_u128(Uint128 value) {
  const py::int_ high(static_cast<std::uint64_t>(value >> 64));
  const py::int_ low(static_cast<std::uint64_t>(value));
  const py::int_ shift(64);
  py::object shifted = py::reinterpret_steal<py::object>(PyNumber_Lshift(high.ptr(), shift.ptr()));
  if (!shifted) {
    throw py::error_already_set();
  }
  py::object both = py::reinterpret_steal<py::object>(PyNumber_Or(shifted.ptr(), low.ptr()));
  if (!both) {
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::int_>(both);
}

Uint128 to_u128(const py::handle& value, const char* name) {
  const py::int_ number = py::reinterpret_borrow<py::object>(value);
  const py::int_ mask(std::uint64_t{0xFFFFFFFFFFFFFFFFull});
  const py::int_ shift(64);
  if (number < py::int_(0) ||
      number > py::reinterpret_steal<py::int_>(PyNumber_Lshift(mask.ptr(), shift.ptr())) +
                   mask) {
    throw py::value_error(std::string(name) + " must be a 128-bit unsigned integer");
  }
  py::object low = py::reinterpret_steal<py::object>(PyNumber_And(number.ptr(), mask.ptr()));
  py::object high = py::reinterpret_steal<py::object>(PyNumber_Rshift(number.ptr(), shift.ptr()));
  if (!low || !high) {
    throw py::error_already_set();
  }
  return (static_cast<Uint128>(high.cast<std::uint64_t>()) << 64) |
         low.cast<std::uint64_t>();
}

// NumPy's bit_generator.state dict of a PCG64.
py::dict generator_state(const velto::Pcg64State& state) {
  py::dict inner;
  inner["state"] = from_u128(state.state);
  inner["inc"] = from_u128(state.inc);
  py::dict result;
  result["bit_generator"] = "PCG64";
  result["state"] = inner;
  result["has_uint32"] = state.has_uint32 ? 1 : 0;
  result["uinteger"] = static_cast<std::uint64_t>(state.uinteger);
  return result;
}

velto::Pcg64State pcg64_state(const py::dict& state) {
  if (!state.contains("bit_generator") || py::str(state["bit_generator"]).cast<std::string>() !=
                                              "PCG64") {
    throw py::value_error("the native loop draws from PCG64 generators only");
  }
  const py::dict inner = state["state"];
  velto::Pcg64State result;
  result.state = to_u128(inner["state"], "state");
  result.inc = to_u128(inner["inc"], "inc");
  result.has_uint32 = state["has_uint32"].cast<std::int64_t>() != 0;
  result.uinteger = state["uinteger"].cast<std::uint32_t>();
  return result;
}

py::tuple task_state(const velto::tasks::TaskState& state) {
  return py::make_tuple(state.values, generator_state(state.generator), state.elapsed_steps);
}

velto::tasks::TaskState task_state_from(const py::handle& value) {
  const py::tuple parts = py::reinterpret_borrow<py::tuple>(value);
  if (parts.size() != 3) {
    throw py::value_error("a task state is (values, generator state, elapsed steps)");
  }
  velto::tasks::TaskState state;
  state.values = parts[0].cast<std::vector<double>>();
  state.generator = pcg64_state(parts[1].cast<py::dict>());
  state.elapsed_steps = parts[2].cast<std::int64_t>();
  return state;
}

// ---- whole runs ----------------------------------------------------------------------------

// What a hand-over checks to tell whether anyone changed an agent since the last one, without a
// second copy of its arrays: the CRC-32 and size of every array and trace list, the bits of every
// scalar, and the units' engines whole. A change is missed only if it leaves every CRC as it was
// (for a random change, a chance of 2^-32 per array changed).
struct Fingerprint {
  std::vector<std::uint32_t> words;
  std::vector<std::mt19937> engines;

  bool operator==(const Fingerprint& other) const {
    return words == other.words && engines == other.engines;
  }
};

template <typename Value>
void add_array(std::vector<std::uint32_t>& words, const std::vector<Value>& array) {
  words.push_back(static_cast<std::uint32_t>(array.size()));
  words.push_back(velto::crc32(array.data(), array.size() * sizeof(Value), 0));
}

template <typename Learner>
void add_learner(std::vector<std::uint32_t>& words, const Learner& learner) {
  add_array(words, learner.trace_list);
  for (const auto& field : velto::LearnerFields<Learner>::arrays) {
    add_array(words, learner.*(field.member));
  }
  for (const auto& field : velto::LearnerFields<Learner>::scalars) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &(learner.*(field.member)), sizeof(bits));
    words.push_back(bits);
  }
}

Fingerprint fingerprint(const VeltoActorCritic& agent) {
  Fingerprint result;
  add_learner(result.words, agent.critic);
  result.words.push_back(static_cast<std::uint32_t>(agent.units.size()));
  for (const velto::ActorUnit& unit : agent.units) {
    add_learner(result.words, unit);
    result.engines.push_back(unit.rng);
  }
  return result;
}

velto::LoopMode loop_mode(const std::string& mode) {
  if (mode == "learn") {
    return velto::LoopMode::learn;
  }
  if (mode == "sample") {
    return velto::LoopMode::sample;
  }
  if (mode == "greedy") {
    return velto::LoopMode::greedy;
  }
  throw py::value_error("mode must be 'learn', 'sample' or 'greedy', not '" + mode + "'");
}

// A run of the native loop over Python's agents. The loop steps private copies of them; at each
// hand-over (with the interpreter lock held) a finished member's copy is written into its Python
// agent, after checking that the Python agent still holds what the last hand-over wrote (its
// fingerprint): a change made meanwhile by anyone else is reported, never overwritten.
class NativeRun {
 public:
  NativeRun(const py::sequence& agents, const std::string& env_id, const py::dict& options,
            const py::sequence& seeds, const py::object& features,
            const std::string& mapping, std::int32_t num_actions, double gamma,
            const std::string& mode, const std::vector<std::int64_t>& next_episodes,
            const std::vector<std::int64_t>& end_episodes, const py::list& generators,
            const py::list& progress, std::int32_t threads, std::int64_t unit_steps,
            std::int64_t checkpoint_every, bool record_agent_calls)
      : agents_(agents) {
    const std::size_t count = agents_.size();
    if (seeds.size() != count || next_episodes.size() != count || end_episodes.size() != count ||
        generators.size() != count || progress.size() != count) {
      throw py::value_error("every per-agent argument needs one entry per agent");
    }
    const velto::tasks::TaskOptions task_settings = task_options(options);
    velto::LoopSettings settings;
    settings.gamma = static_cast<float>(gamma);
    settings.mode = loop_mode(mode);
    settings.threads = threads;
    settings.unit_steps = unit_steps;
    settings.checkpoint_every = checkpoint_every;
    settings.record_agent_calls = record_agent_calls;
    calls_.resize(count);
    std::vector<velto::NativeMember> members;
    members.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const py::handle agent = agents_[i];
      if (!py::isinstance<VeltoActorCritic>(agent)) {
        throw py::type_error("agents[" + std::to_string(i) + "] must be a VeltoActorCritic");
      }
      const VeltoActorCritic& native = velto::constructed(agent.cast<VeltoActorCritic&>());
      velto::NativeMember member(velto::tasks::make_task(env_id, task_settings),
                                 velto::NumpyGenerator(pcg64_state(generators[i].cast<py::dict>())),
                                 native);
      member.seed = velto::seed_from(seeds[i], "seeds[" + std::to_string(i) + "]");
      member.next_episode = next_episodes[i];
      member.end_episode = end_episodes[i];
      if (!progress[i].is_none()) {
        const py::tuple saved = progress[i].cast<py::tuple>();
        if (saved.size() != 3) {
          throw py::value_error("a member's progress is (task state, taken, steps)");
        }
        velto::MemberProgress restored;
        restored.task = task_state_from(saved[0]);
        restored.rng = member.rng.state();
        restored.taken = saved[1].cast<std::vector<std::int32_t>>();
        for (const std::int32_t unit : restored.taken) {
          if (unit < 0 || static_cast<std::size_t>(unit) >= native.units.size()) {
            throw py::value_error("a pending unit outside the agent's units");
          }
        }
        restored.begun = true;
        restored.next_episode = next_episodes[i];
        restored.steps = saved[2].cast<std::int64_t>();
        member.restore(restored);
      }
      fingerprints_.push_back(fingerprint(native));
      members.push_back(std::move(member));
    }
    velto::NativeFeatures native_features = feature_map(features);
    for (const velto::NativeMember& member : members) {
      published_.push_back(member.progress());
    }
    loop_ = std::make_unique<velto::NativeLoop>(
        std::move(members), std::move(native_features),
        velto::NativeMapping(mapping, num_actions), settings);
    loop_->set_interrupt_check([this] { return signalled(); }, kSignalInterval);
  }

  ~NativeRun() {
    if (interrupt_ != nullptr) {
      Py_DECREF(interrupt_);
    }
  }
  NativeRun(const NativeRun&) = delete;
  NativeRun& operator=(const NativeRun&) = delete;

  // The episodes of the next finished units as (agent, episode, return, length, steps), each
  // unit's agent written into its Python agent first; an empty list once the run is done. A unit
  // may end without an episode (one that only shows its agent the first state, in a run of no
  // episodes): its agent is handed over all the same, and the wait goes on for episodes, since
  // an empty list would tell the caller that every agent is done.
  py::list next() {
    py::list records;
    while (loop_ && records.empty()) {
      std::vector<std::size_t> finished;
      try {
        py::gil_scoped_release unlocked;
        finished = loop_->take_finished();
      } catch (const velto::LoopInterrupted&) {
        // Every unit stopped between two steps and none handed over: each agent stays as its
        // last hand-over left it, and the signal handler's exception goes to the caller.
        close();
        PyErr_SetRaisedException(interrupt_);
        interrupt_ = nullptr;
        throw py::error_already_set();
      } catch (const std::exception&) {
        close();
        throw;
      }
      if (finished.empty()) {
        break;
      }
      hand_over(finished, records);
    }
    return records;
  }

 private:
  // How often the owner's thread, while it waits for units or runs one, takes the interpreter
  // lock to run the signal handlers (Ctrl-C's raises KeyboardInterrupt).
  static constexpr std::chrono::milliseconds kSignalInterval{20};

  // On the owner's thread, without the interpreter lock: runs the pending signal handlers, and
  // keeps the exception one of them raised (true: the run stops).
  bool signalled() {
    const py::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() == 0) {
      return false;
    }
    interrupt_ = PyErr_GetRaisedException();
    return true;
  }

  void hand_over(const std::vector<std::size_t>& finished, py::list& records) {
    for (const std::size_t index : finished) {
      VeltoActorCritic& agent = agents_[index].cast<VeltoActorCritic&>();
      if (!(fingerprint(agent) == fingerprints_[index])) {
        close();
        throw std::runtime_error(
            "agent " + std::to_string(index) +
            " was changed by another caller while the native loop ran it: its change is kept and"
            " the run stops (the loop's episodes since the last hand-over are dropped)");
      }
      velto::NativeMember& member = loop_->member(index);
      // Copied into the agent's own arrays, also at the member's last unit: a swap would free
      // the memory that views of the agent (from inspect) still show.
      agent = member.agent;
      if (loop_->has_work(index)) {
        fingerprints_[index] = fingerprint(agent);
      }
      published_[index] = member.progress();
      calls_[index].append(member.calls);
      member.calls = velto::AgentCalls();
      unit_seconds_ += static_cast<double>(member.unit_nanoseconds) * 1e-9;
      member.unit_nanoseconds = 0;
      for (const velto::EpisodeRecord& record : loop_->records(index)) {
        records.append(py::make_tuple(record.agent, record.episode, record.episode_return,
                                      record.length, record.steps));
      }
      loop_->records(index).clear();
      loop_->release(index);
    }
  }

 public:

  // Member i as of its last hand-over: (task state, generator state, taken, next episode, steps).
  py::tuple progress(std::size_t index) const {
    if (index >= published_.size()) {
      throw py::index_error("no member " + std::to_string(index));
    }
    const velto::MemberProgress& saved = published_[index];
    return py::make_tuple(task_state(saved.task), generator_state(saved.rng), saved.taken,
                          saved.next_episode, saved.steps);
  }

  // With record_agent_calls: steps agents[i] through every call member i's agent made in the
  // handed-over units, with the interpreter lock released; the caller times it.
  void replay_agent_calls(const py::sequence& agents) const {
    if (agents.size() != calls_.size()) {
      throw py::value_error("replay needs one agent per member");
    }
    std::vector<VeltoActorCritic*> natives;
    for (std::size_t i = 0; i < calls_.size(); ++i) {
      natives.push_back(&velto::constructed(agents[i].cast<VeltoActorCritic&>()));
    }
    py::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < calls_.size(); ++i) {
      velto::replay(*natives[i], calls_[i]);
    }
  }

  // With record_agent_calls: the CPU time of the handed-over units, the loop without its
  // hand-overs.
  double unit_seconds() const { return unit_seconds_; }

  void close() {
    if (loop_) {
      std::unique_ptr<velto::NativeLoop> loop = std::move(loop_);
      py::gil_scoped_release unlocked;
      loop->cancel();
      loop.reset();
    }
  }

 private:
  static velto::NativeFeatures feature_map(const py::object& features) {
    if (py::isinstance<velto::TileCoder>(features)) {
      return velto::NativeFeatures::tiles(features.cast<const velto::TileCoder&>());
    }
    const py::tuple code = features.cast<py::tuple>();
    if (code.size() != 2) {
      throw py::value_error("features must be a TileCoder or a one-hot code's (n, start)");
    }
    return velto::NativeFeatures::one_hot(code[0].cast<std::int64_t>(),
                                          code[1].cast<std::int64_t>());
  }

  py::tuple agents_;
  std::vector<Fingerprint> fingerprints_;
  std::vector<velto::MemberProgress> published_;
  std::unique_ptr<velto::NativeLoop> loop_;
  std::vector<velto::AgentCalls> calls_;
  double unit_seconds_ = 0.0;
  // The exception a signal handler raised while the loop ran (owned), until next() raises it.
  PyObject* interrupt_ = nullptr;
};

}  // namespace

void bind_native_loop(py::module_& m) {
  py::class_<NativeRun>(m, "NativeRun")
      .def(py::init<const py::sequence&, const std::string&, const py::dict&,
                    const py::sequence&, const py::object&, const std::string&,
                    std::int32_t, double, const std::string&, const std::vector<std::int64_t>&,
                    const std::vector<std::int64_t>&, const py::list&, const py::list&,
                    std::int32_t, std::int64_t, std::int64_t, bool>(),
           py::arg("agents"), py::arg("env_id"), py::arg("options"), py::arg("seeds"),
           py::arg("features"), py::arg("mapping"), py::arg("num_actions"), py::arg("gamma"),
           py::arg("mode"), py::arg("next_episodes"), py::arg("end_episodes"),
           py::arg("generators"), py::arg("progress"), py::arg("threads"), py::arg("unit_steps"),
           py::arg("checkpoint_every"), py::arg("record_agent_calls") = false)
      .def("next", &NativeRun::next)
      .def("progress", &NativeRun::progress, py::arg("index"))
      .def("replay_agent_calls", &NativeRun::replay_agent_calls, py::arg("agents"))
      .def_property_readonly("unit_seconds", &NativeRun::unit_seconds)
      .def("close", &NativeRun::close);
}
