#include "kit/state/state_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "agent/memory_budget.hpp"
#include "agent/velto_actor_critic.hpp"
#include "binding_support/constructed_agent.hpp"
#include "core/huge_pages.hpp"
#include "kit/state/crc32.hpp"
#include "kit/state/engine_text.hpp"
#include "kit/state/learner_fields.hpp"

namespace py = pybind11;

namespace {

using velto::ActorUnit;
using velto::Critic;
using velto::LearnerFields;
using velto::VeltoActorCritic;

// Learner -1 is the critic, learners 0 .. units - 1 the units.
constexpr int kCritic = -1;

ActorUnit& unit_at(VeltoActorCritic& agent, int learner) {
  if (learner < 0 || static_cast<std::size_t>(learner) >= agent.units.size()) {
    throw py::index_error("unit " + std::to_string(learner) + " is outside [0, " +
                          std::to_string(agent.units.size()) + ")");
  }
  return agent.units[static_cast<std::size_t>(learner)];
}

// Calls `work` with the critic or the unit that `learner` selects.
template <typename Work>
decltype(auto) with_learner(VeltoActorCritic& agent, int learner, Work work) {
  if (learner == kCritic) {
    return work(agent.critic);
  }
  return work(unit_at(agent, learner));
}

// A view of `array` whose base is the agent's Python object, so the agent lives as long as the
// view. The per-feature arrays are never resized, so the memory stays valid for that long.
py::array float_view(std::vector<float>& array, py::handle owner) {
  py::array_t<float> view({static_cast<py::ssize_t>(array.size())}, {sizeof(float)}, array.data(),
                          owner);
  // The base is no array and offers no writable buffer, so NumPy also refuses to set the flag
  // back: nothing can write through this view.
  py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return view;
}

template <typename Learner>
py::list array_views(Learner& learner, py::handle owner) {
  py::list views;
  for (const auto& field : LearnerFields<Learner>::arrays) {
    views.append(float_view(learner.*field.member, owner));
  }
  return views;
}

py::list learner_arrays(VeltoActorCritic& agent, int learner) {
  velto::constructed(agent);
  const py::handle owner = py::cast(&agent, py::return_value_policy::reference);
  return with_learner(agent, learner, [&](auto& chosen) { return array_views(chosen, owner); });
}

template <typename Learner>
py::tuple field_names(bool arrays) {
  py::list names;
  if (arrays) {
    for (const auto& field : LearnerFields<Learner>::arrays) {
      names.append(field.name);
    }
  } else {
    for (const auto& field : LearnerFields<Learner>::scalars) {
      names.append(field.name);
    }
  }
  return py::tuple(names);
}

// A NumPy copy of `values`. Making a NumPy array may let another Python thread run (and step the
// agent), so what is read of an agent is copied into C++ memory first and only then handed here.
template <typename Value>
py::array_t<Value> numpy_copy(const std::vector<Value>& values) {
  py::array_t<Value> copy(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), copy.mutable_data());
  return copy;
}

template <typename Learner>
std::vector<float> scalar_values(const Learner& learner) {
  const auto& fields = LearnerFields<Learner>::scalars;
  std::vector<float> values(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    values[i] = learner.*fields[i].member;
  }
  return values;
}

py::array_t<float> scalars(VeltoActorCritic& agent, int learner) {
  velto::constructed(agent);
  return numpy_copy(
      with_learner(agent, learner, [](auto& chosen) { return scalar_values(chosen); }));
}

void set_scalars(VeltoActorCritic& agent, int learner,
                 const py::array_t<float, py::array::c_style>& values) {
  velto::constructed(agent);
  with_learner(agent, learner, [&values](auto& chosen) {
    using Learner = std::decay_t<decltype(chosen)>;
    const auto& fields = LearnerFields<Learner>::scalars;
    if (values.ndim() != 1 || static_cast<std::size_t>(values.shape(0)) != fields.size()) {
      throw py::value_error("expected " + std::to_string(fields.size()) + " scalars");
    }
    const float* in = values.data();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      chosen.*fields[i].member = in[i];
    }
    return 0;
  });
}

py::array_t<std::int32_t> trace_list(VeltoActorCritic& agent, int learner) {
  velto::constructed(agent);
  return numpy_copy(with_learner(
      agent, learner, [](auto& chosen) { return std::vector<std::int32_t>(chosen.trace_list); }));
}

// The learners index their arrays with trace_list unchecked, so an index outside the arrays is
// refused here too, whatever the caller checked before.
void set_trace_list(VeltoActorCritic& agent, int learner,
                    const py::array_t<std::int32_t, py::array::c_style>& indices) {
  velto::constructed(agent);
  if (indices.ndim() != 1) {
    throw py::value_error("trace_list must be one-dimensional");
  }
  const std::int32_t* in = indices.data();
  const std::size_t count = static_cast<std::size_t>(indices.shape(0));
  const std::size_t num_features = agent.critic.weights.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (in[i] < 0 || static_cast<std::size_t>(in[i]) >= num_features) {
      throw py::value_error("trace_list index " + std::to_string(in[i]) + " is outside [0, " +
                            std::to_string(num_features) + ")");
    }
  }
  with_learner(agent, learner, [&](auto& chosen) {
    chosen.trace_list.assign(in, in + count);
    return 0;
  });
}

py::tuple engine(VeltoActorCritic& agent, int unit) {
  velto::constructed(agent);
  const velto::EngineState state = velto::engine_state(unit_at(agent, unit).rng);
  py::array_t<std::uint32_t> words(static_cast<py::ssize_t>(state.words.size()));
  std::copy(state.words.begin(), state.words.end(), words.mutable_data());
  return py::make_tuple(words, state.position);
}

// Every learner's members at one moment: (trace_list, array views, scalars, engine or None) for
// the critic and then each unit. Everything copied is read into C++ memory before the first
// Python object is made (making one may let another thread step the agent); the per-feature
// arrays are live views of memory that is never moved, whenever they are made.
py::list all_members(VeltoActorCritic& agent) {
  velto::constructed(agent);
  struct Copies {
    std::vector<std::int32_t> trace_list;
    std::vector<float> scalars;
  };
  std::vector<Copies> learners;
  std::vector<velto::EngineState> engines;
  learners.push_back({agent.critic.trace_list, scalar_values(agent.critic)});
  for (const ActorUnit& unit : agent.units) {
    learners.push_back({unit.trace_list, scalar_values(unit)});
    engines.push_back(velto::engine_state(unit.rng));
  }
  py::list members;
  for (std::size_t i = 0; i < learners.size(); ++i) {
    const int learner = static_cast<int>(i) - 1;
    py::object engine = py::none();
    if (learner != kCritic) {
      const velto::EngineState& state = engines[i - 1];
      engine = py::make_tuple(
          numpy_copy(std::vector<std::uint32_t>(state.words.begin(), state.words.end())),
          state.position);
    }
    members.append(py::make_tuple(numpy_copy(learners[i].trace_list),
                                  learner_arrays(agent, learner), numpy_copy(learners[i].scalars),
                                  engine));
  }
  return members;
}

void set_engine(VeltoActorCritic& agent, int unit,
                const py::array_t<std::uint32_t, py::array::c_style>& words,
                std::int64_t position) {
  velto::constructed(agent);
  ActorUnit& chosen = unit_at(agent, unit);
  velto::EngineState state{};
  if (words.ndim() != 1 || static_cast<std::size_t>(words.shape(0)) != state.words.size()) {
    throw py::value_error("an engine state has 624 words");
  }
  if (position < 0 || position > static_cast<std::int64_t>(state.words.size())) {
    throw py::value_error("engine position " + std::to_string(position) + " is outside [0, 624]");
  }
  std::copy(words.data(), words.data() + state.words.size(), state.words.begin());
  state.position = static_cast<std::uint32_t>(position);
  velto::set_engine_state(chosen.rng, state);
}

// Loading fills a freshly built agent of no features array by array, in one pass over the data:
// each array is reserved whole (and advised onto huge pages, as the learners' own arrays are),
// then appended to chunk by chunk as the chunks are read and checksummed. Filling the arrays of
// an agent built at full size would write every element twice, zeros first.
std::vector<float>& array_at(VeltoActorCritic& agent, int learner, int index) {
  return with_learner(agent, learner, [index](auto& chosen) -> std::vector<float>& {
    using Learner = std::decay_t<decltype(chosen)>;
    const auto& fields = LearnerFields<Learner>::arrays;
    if (index < 0 || static_cast<std::size_t>(index) >= fields.size()) {
      throw py::index_error("array " + std::to_string(index) + " is outside [0, " +
                            std::to_string(fields.size()) + ")");
    }
    return chosen.*fields[static_cast<std::size_t>(index)].member;
  });
}

void begin_array(VeltoActorCritic& agent, int learner, int index, std::size_t count) {
  velto::constructed(agent);
  std::vector<float>& array = array_at(agent, learner, index);
  if (!array.empty()) {
    throw py::value_error("only an empty array is filled");
  }
  array.reserve(count);
  velto::advise_huge_pages(array.data(), count * sizeof(float));
}

void append_to_array(VeltoActorCritic& agent, int learner, int index, const py::buffer& chunk) {
  velto::constructed(agent);
  std::vector<float>& array = array_at(agent, learner, index);
  const py::buffer_info info = chunk.request();
  const std::size_t bytes = static_cast<std::size_t>(info.size * info.itemsize);
  if (info.ndim != 1 || info.strides[0] != info.itemsize || bytes % sizeof(float) != 0 ||
      bytes / sizeof(float) > array.capacity() - array.size()) {
    throw py::value_error("a chunk must be contiguous whole floats within the reserved size");
  }
  // Appended within the reserved capacity, so the array is never reallocated.
  const std::size_t start = array.size();
  array.resize(start + bytes / sizeof(float));
  std::memcpy(array.data() + start, info.ptr, bytes);
}

// Appends `bytes` bytes read from file descriptor `fd` at `offset` to the array, and returns the
// CRC-32 of them continued from `crc` and the number of bytes read (fewer where the file ends).
// The reads go through a buffer small enough to stay in the cache while it is checksummed and
// copied on, without the interpreter lock.
py::tuple append_from_file(VeltoActorCritic& agent, int learner, int index, int fd,
                           std::int64_t offset, std::size_t bytes, std::uint32_t crc) {
  velto::constructed(agent);
  std::vector<float>& array = array_at(agent, learner, index);
  if (bytes % sizeof(float) != 0 || bytes / sizeof(float) > array.capacity() - array.size()) {
    throw py::value_error("the data must be whole floats within the reserved size");
  }
  constexpr std::size_t kChunkFloats = (1 << 20) / sizeof(float);
  std::vector<float> chunk(std::min(kChunkFloats, bytes / sizeof(float)));
  std::size_t done = 0;
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    while (done < bytes) {
      const std::size_t want = std::min(chunk.size() * sizeof(float), bytes - done);
      std::size_t got = 0;
      while (got < want) {
        const ssize_t read =
            pread(fd, reinterpret_cast<char*>(chunk.data()) + got, want - got,
                  static_cast<off_t>(offset + static_cast<std::int64_t>(done + got)));
        if (read < 0 && errno == EINTR) {
          continue;
        }
        if (read <= 0) {
          error = read < 0 ? errno : 0;
          break;
        }
        got += static_cast<std::size_t>(read);
      }
      crc = velto::crc32(chunk.data(), got, crc);
      const std::size_t whole = got / sizeof(float);
      array.insert(array.end(), chunk.data(), chunk.data() + whole);
      done += got;
      if (got < want) {
        break;
      }
    }
  }
  if (error != 0) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
  }
  return py::make_tuple(crc, done);
}

// Every per-feature array of every learner holds exactly num_features elements.
void check_array_sizes(VeltoActorCritic& agent, std::size_t num_features) {
  velto::constructed(agent);
  const auto check = [num_features](auto& learner) {
    using Learner = std::decay_t<decltype(learner)>;
    for (const auto& field : LearnerFields<Learner>::arrays) {
      if ((learner.*field.member).size() != num_features) {
        throw py::value_error(std::string(field.name) + " holds " +
                              std::to_string((learner.*field.member).size()) + " elements, not " +
                              std::to_string(num_features));
      }
    }
  };
  check(agent.critic);
  for (ActorUnit& unit : agent.units) {
    check(unit);
  }
}

// A private copy of the whole agent, made in one piece while the interpreter lock is held. A step
// holds that lock for its whole run (and so does a population call while its workers step), so
// the copy is the agent's state at one moment between two steps, whatever other threads do. A
// checkpoint is written from it when other threads' steps keep outgrowing the layouts made for
// the agent itself (see checkpoint_writer.py). The memory is checked first with the
// construction's own guard, so an agent too large to copy is a MemoryError, before anything is
// written.
py::object snapshot(VeltoActorCritic& agent) {
  velto::constructed(agent);
  const auto num_features = static_cast<std::int32_t>(agent.critic.weights.size());
  const auto num_units = static_cast<std::int32_t>(agent.units.size());
  std::uint64_t bytes = velto::agent_bytes(num_features, num_units);
  std::uint64_t traces = agent.critic.trace_list.size();
  for (const ActorUnit& unit : agent.units) {
    traces += unit.trace_list.size();
  }
  bytes += std::min<std::uint64_t>(traces, UINT64_MAX / 8) * sizeof(std::int32_t);
  velto::require_memory(bytes);
  return py::cast(new VeltoActorCritic(agent), py::return_value_policy::take_ownership);
}

// The single-precision exponential the learners take of their log step sizes, element by
// element; NumPy's own float32 exp may differ from it in the last bit. The values are usually a
// live view of an agent's log step sizes (inspect's step_sizes), so the interpreter lock is kept:
// released, another thread's step could change them halfway through, mixing two steps' values.
py::array_t<float> exp_float32(const py::array_t<float, py::array::c_style>& values) {
  py::array_t<float> result(values.request().shape);
  const float* in = values.data();
  float* out = result.mutable_data();
  const py::ssize_t count = values.size();
  for (py::ssize_t i = 0; i < count; ++i) {
    out[i] = std::exp(in[i]);
  }
  return result;
}

}  // namespace

void bind_state(py::module_& m) {
  m.attr("CRITIC_ARRAYS") = field_names<Critic>(true);
  m.attr("CRITIC_SCALARS") = field_names<Critic>(false);
  m.attr("UNIT_ARRAYS") = field_names<ActorUnit>(true);
  m.attr("UNIT_SCALARS") = field_names<ActorUnit>(false);
  m.attr("CRITIC") = kCritic;

  m.def(
      "num_features",
      [](VeltoActorCritic& agent) { return velto::constructed(agent).critic.weights.size(); },
      py::arg("agent"));
  m.def(
      "num_units", [](VeltoActorCritic& agent) { return velto::constructed(agent).units.size(); },
      py::arg("agent"));
  m.def("arrays", &learner_arrays, py::arg("agent"), py::arg("learner"),
        "Read-only views of the learner's per-feature arrays, in the order of *_ARRAYS.");
  m.def("begin_array", &begin_array, py::arg("agent"), py::arg("learner"), py::arg("index"),
        py::arg("count"));
  m.def("append_to_array", &append_to_array, py::arg("agent"), py::arg("learner"), py::arg("index"),
        py::arg("chunk"));
  m.def("append_from_file", &append_from_file, py::arg("agent"), py::arg("learner"),
        py::arg("index"), py::arg("fd"), py::arg("offset"), py::arg("bytes"), py::arg("crc"));
  m.def("check_array_sizes", &check_array_sizes, py::arg("agent"), py::arg("num_features"));
  m.def("scalars", &scalars, py::arg("agent"), py::arg("learner"));
  m.def("set_scalars", &set_scalars, py::arg("agent"), py::arg("learner"), py::arg("values"));
  m.def("trace_list", &trace_list, py::arg("agent"), py::arg("learner"));
  m.def("set_trace_list", &set_trace_list, py::arg("agent"), py::arg("learner"),
        py::arg("indices"));
  m.def("engine", &engine, py::arg("agent"), py::arg("unit"));
  m.def("all_members", &all_members, py::arg("agent"));
  m.def("set_engine", &set_engine, py::arg("agent"), py::arg("unit"), py::arg("words"),
        py::arg("position"));
  m.def("snapshot", &snapshot, py::arg("agent"),
        "A private copy of the agent, taken at one moment between two steps.");
  m.def("exp_float32", &exp_float32, py::arg("values"));

  // The construction's memory guard, for what a checkpoint declares beyond the learners' arrays:
  // MemoryError before anything is allocated.
  m.def("agent_bytes", &velto::agent_bytes, py::arg("num_features"), py::arg("num_actions"));
  m.def("require_memory", &velto::require_memory, py::arg("bytes"));
}
