#include "kit/state/checkpoint_bindings.hpp"

#include <pybind11/stl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "binding_support/constructed_agent.hpp"
#include "kit/state/contiguous_buffer.hpp"
#include "kit/state/crc32.hpp"
#include "kit/state/engine_text.hpp"
#include "kit/state/learner_fields.hpp"

namespace py = pybind11;

namespace {

using velto::ActorUnit;
using velto::LearnerFields;
using velto::VeltoActorCritic;

// What a piece taken from the agent holds; the numbers are the writer's (checkpoint_writer.py).
enum class Source : int {
  kTraceList = 0,
  kArray = 1,
  kScalar = 2,
  kEngineWords = 3,
  kEnginePosition = 4,
};

constexpr int kCritic = -1;
// Pieces are copied and checksummed this much at a time, so that the copy is still in the cache
// when it is checksummed.
constexpr std::size_t kPart = 1 << 20;

struct Span {
  const unsigned char* data;
  std::size_t size;
};

template <typename T>
Span span_of(const T* data, std::size_t count) {
  return {reinterpret_cast<const unsigned char*>(data), count * sizeof(T)};
}

// The bytes of every piece of a checkpoint: the writer's constant pieces (zip records, .npy
// headers) as they are, and the agent's members, named by (learner, source, index, bytes), read
// from the agent now. Every piece is resolved before a byte is copied or written, and nothing
// here runs Python code once the first member has been read, so the pieces are the agent's
// state at one moment as long as the caller holds the interpreter lock, which every step holds.
class CheckpointPieces {
 public:
  // False when a member's size differs from the one planned: the agent has stepped since the
  // writer laid the file out (a trace list grew or shrank), and it must lay it out again.
  bool resolve(VeltoActorCritic& agent, const py::list& pieces) {
    // Every conversion first (taking a buffer may run an exporter's code): nothing after the
    // first read of the agent may let another thread in.
    std::vector<std::array<std::int64_t, 4>> planned(pieces.size());
    std::vector<bool> from_agent(pieces.size());
    buffers_.clear();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      const py::object piece = pieces[i];
      from_agent[i] = py::isinstance<py::tuple>(piece);
      if (from_agent[i]) {
        const auto numbers = piece.cast<std::vector<std::int64_t>>();
        if (numbers.size() != 4) {
          throw py::value_error("a member piece is (learner, source, index, bytes)");
        }
        std::copy(numbers.begin(), numbers.end(), planned[i].begin());
      } else {
        buffers_.push_back(std::make_unique<velto::ContiguousBuffer>(piece));
      }
    }
    velto::constructed(agent);
    std::size_t next_buffer = 0;
    spans_.clear();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (!from_agent[i]) {
        const velto::ContiguousBuffer& buffer = *buffers_[next_buffer++];
        spans_.push_back(span_of(static_cast<const unsigned char*>(buffer.data()), buffer.size()));
        continue;
      }
      const auto& [learner, source, index, bytes] = planned[i];
      const Span span = member(agent, learner, static_cast<Source>(source), index);
      if (bytes < 0 || span.size != static_cast<std::uint64_t>(bytes)) {
        return false;
      }
      spans_.push_back(span);
    }
    return true;
  }

  const std::vector<Span>& spans() const { return spans_; }

 private:
  template <typename Learner>
  Span learner_member(Learner& learner, Source source, std::int64_t index) {
    using Fields = LearnerFields<Learner>;
    switch (source) {
      case Source::kTraceList:
        return span_of(learner.trace_list.data(), learner.trace_list.size());
      case Source::kArray: {
        check_index(index, Fields::arrays.size());
        const std::vector<float>& array =
            learner.*Fields::arrays[static_cast<std::size_t>(index)].member;
        return span_of(array.data(), array.size());
      }
      case Source::kScalar:
        check_index(index, Fields::scalars.size());
        scalars_.push_back(learner.*Fields::scalars[static_cast<std::size_t>(index)].member);
        return span_of(&scalars_.back(), 1);
      default:
        break;
    }
    if constexpr (std::is_same_v<Learner, ActorUnit>) {
      if (source == Source::kEngineWords || source == Source::kEnginePosition) {
        engines_.push_back(velto::engine_state(learner.rng));
        if (source == Source::kEngineWords) {
          return span_of(engines_.back().words.data(), engines_.back().words.size());
        }
        positions_.push_back(static_cast<std::int32_t>(engines_.back().position));
        return span_of(&positions_.back(), 1);
      }
    }
    throw py::value_error("no such member source: " + std::to_string(static_cast<int>(source)));
  }

  Span member(VeltoActorCritic& agent, std::int64_t learner, Source source, std::int64_t index) {
    if (learner == kCritic) {
      return learner_member(agent.critic, source, index);
    }
    check_index(learner, agent.units.size());
    return learner_member(agent.units[static_cast<std::size_t>(learner)], source, index);
  }

  static void check_index(std::int64_t index, std::size_t size) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= size) {
      throw py::index_error("member index " + std::to_string(index) + " is outside [0, " +
                            std::to_string(size) + ")");
    }
  }

  std::vector<std::unique_ptr<velto::ContiguousBuffer>> buffers_;
  // Copies of the small members; deques keep their addresses as they grow.
  std::deque<float> scalars_;
  std::deque<velto::EngineState> engines_;
  std::deque<std::int32_t> positions_;
  std::vector<Span> spans_;
};

// Checks the layout the writer passes: one group per piece (-1 for the pieces no member's
// CRC-32 covers), and each 4-byte CRC slot inside a piece of group -1. Returns the group count.
std::size_t check_layout(const std::vector<Span>& spans, const std::vector<std::int64_t>& groups,
                         const std::vector<std::pair<std::int64_t, std::int64_t>>& slots) {
  if (groups.size() != spans.size()) {
    throw py::value_error("one group per piece");
  }
  std::int64_t group_count = 0;
  // starts[i]: where piece i begins in the checkpoint.
  std::vector<std::int64_t> starts(spans.size() + 1, 0);
  for (std::size_t i = 0; i < spans.size(); ++i) {
    group_count = std::max(group_count, groups[i] + 1);
    starts[i + 1] = starts[i] + static_cast<std::int64_t>(spans[i].size);
  }
  for (const auto& [offset, group] : slots) {
    const auto after = std::upper_bound(starts.begin(), starts.end(), offset);
    const auto piece = static_cast<std::size_t>(after - starts.begin()) - 1;
    const bool inside = offset >= 0 && piece < spans.size() && groups[piece] == -1 &&
                        offset + 4 <= starts[piece + 1];
    if (!inside || group < 0 || group >= group_count) {
      throw py::value_error("a checksum slot lies outside the zip records");
    }
  }
  return static_cast<std::size_t>(group_count);
}

void put_crc(unsigned char* at, std::uint32_t crc) {
  for (int b = 0; b < 4; ++b) {
    at[b] = static_cast<unsigned char>(crc >> (8 * b));
  }
}

// The checkpoint as one new bytes object: each piece copied once, in cache-sized parts, a
// member's CRC-32 taken from its copy while that is still in the cache, and the CRCs written
// into the zip records at `slots`. None when the agent no longer has the planned sizes.
py::object assemble_agent(VeltoActorCritic& agent, const py::list& pieces,
                          const std::vector<std::int64_t>& groups,
                          const std::vector<std::pair<std::int64_t, std::int64_t>>& slots) {
  CheckpointPieces resolved;
  if (!resolved.resolve(agent, pieces)) {
    return py::none();
  }
  std::size_t total = 0;
  for (const Span& span : resolved.spans()) {
    total += span.size;
  }
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
  if (result == nullptr) {
    throw py::error_already_set();
  }
  py::bytes joined = py::reinterpret_steal<py::bytes>(result);
  // Making the bytes object may have let another thread step the agent: the pieces are taken
  // again, after it, so that nothing but copying lies between reading the agent and the result.
  if (!resolved.resolve(agent, pieces)) {
    return py::none();
  }
  const std::vector<Span>& spans = resolved.spans();
  std::vector<std::uint32_t> crcs(check_layout(spans, groups, slots), 0);
  auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(result));
  std::size_t at = 0;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    for (std::size_t done = 0; done < spans[i].size; done += kPart) {
      const std::size_t part = std::min(kPart, spans[i].size - done);
      std::memcpy(out + at + done, spans[i].data + done, part);
      if (groups[i] >= 0) {
        std::uint32_t& crc = crcs[static_cast<std::size_t>(groups[i])];
        crc = velto::crc32(out + at + done, part, crc);
      }
    }
    at += spans[i].size;
  }
  for (const auto& [offset, group] : slots) {
    put_crc(out + offset, crcs[static_cast<std::size_t>(group)]);
  }
  return std::move(joined);
}

void write_fully(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      if (written == 0) {
        errno = EIO;
      }
      PyErr_SetFromErrno(PyExc_OSError);
      throw py::error_already_set();
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

// Writes the checkpoint to file descriptor `fd`: every member's CRC-32 first, straight from the
// agent's memory, then the pieces in order, the zip records with their CRCs filled in. False,
// with nothing written, when the agent no longer has the planned sizes.
bool write_agent(VeltoActorCritic& agent, int fd, const py::list& pieces,
                 const std::vector<std::int64_t>& groups,
                 const std::vector<std::pair<std::int64_t, std::int64_t>>& slots) {
  CheckpointPieces resolved;
  if (!resolved.resolve(agent, pieces)) {
    return false;
  }
  const std::vector<Span>& spans = resolved.spans();
  std::vector<std::uint32_t> crcs(check_layout(spans, groups, slots), 0);
  for (std::size_t i = 0; i < spans.size(); ++i) {
    if (groups[i] >= 0) {
      std::uint32_t& crc = crcs[static_cast<std::size_t>(groups[i])];
      crc = velto::crc32(spans[i].data, spans[i].size, crc);
    }
  }
  // The slots in file order, filled in as the records that hold them go out.
  std::vector<std::pair<std::int64_t, std::int64_t>> ordered(slots);
  std::sort(ordered.begin(), ordered.end());
  auto slot = ordered.begin();
  std::vector<unsigned char> record;
  std::int64_t at = 0;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const auto size = static_cast<std::int64_t>(spans[i].size);
    if (groups[i] >= 0) {
      write_fully(fd, spans[i].data, spans[i].size);
    } else {
      record.assign(spans[i].data, spans[i].data + spans[i].size);
      for (; slot != ordered.end() && slot->first < at + size; ++slot) {
        put_crc(record.data() + (slot->first - at), crcs[static_cast<std::size_t>(slot->second)]);
      }
      write_fully(fd, record.data(), record.size());
    }
    at += size;
  }
  return true;
}

}  // namespace

void bind_checkpoint(py::module_& m) {
  // Both hold the interpreter lock from the first read of the agent to the last, so that no
  // other thread's step falls between two members (the file would hold a state the agent was
  // never in, under valid checksums); other threads wait meanwhile.
  m.def("assemble_agent", &assemble_agent, py::arg("agent"), py::arg("pieces"), py::arg("groups"),
        py::arg("slots"));
  m.def("write_agent", &write_agent, py::arg("agent"), py::arg("fd"), py::arg("pieces"),
        py::arg("groups"), py::arg("slots"));
}
