#pragma once

// Digests of a learner's whole state, for test programs that compare runs by their output.
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "agent/velto_actor_critic.hpp"

// FNV-1a. Every bit counts, signed zeros included, except a NaN's sign and payload: when two NaNs
// meet in one operation, the compiler's choice of operand order decides which payload survives,
// and that choice differs between optimisation levels.
class Digest {
 public:
  void add_bytes(const void* data, std::size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t n = 0; n < size; ++n) {
      value_ = (value_ ^ bytes[n]) * 1099511628211ull;
    }
  }
  void add(const std::vector<std::int32_t>& values) {
    const std::uint64_t size = values.size();
    add_bytes(&size, sizeof(size));
    add_bytes(values.data(), values.size() * sizeof(std::int32_t));
  }
  void add(const std::vector<float>& values) {
    for (const float value : values) {
      add(value);
    }
  }
  void add(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    if (value != value) {
      bits = 0x7fc00000u;
    }
    value_ = (value_ ^ bits) * 1099511628211ull;
  }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 14695981039346656037ull;
};

inline std::vector<std::vector<float>*> arrays_of(velto::Critic& c) {
  return {&c.weights, &c.traces,        &c.recent_step, &c.weight_change, &c.h,         &c.h_old,
          &c.h_temp,  &c.log_step_size, &c.trace_bar,   &c.h_trace,       &c.entry_step};
}

inline std::vector<std::vector<float>*> arrays_of(velto::ActorUnit& u) {
  return {&u.weights, &u.traces,        &u.recent_step, &u.h,       &u.h_old,
          &u.h_temp,  &u.log_step_size, &u.trace_bar,   &u.h_trace, &u.entry_step};
}

inline std::uint64_t digest_of(velto::Critic& c) {
  Digest digest;
  digest.add(c.trace_list);
  for (const std::vector<float>* array : arrays_of(c)) {
    digest.add(*array);
  }
  digest.add(c.value_change);
  digest.add(c.last_value);
  return digest.value();
}

inline std::uint64_t digest_of(velto::ActorUnit& u) {
  Digest digest;
  digest.add(u.trace_list);
  for (const std::vector<float>* array : arrays_of(u)) {
    digest.add(*array);
  }
  std::ostringstream engine;
  engine << u.rng;
  const std::string text = engine.str();
  digest.add_bytes(text.data(), text.size());
  return digest.value();
}

inline std::uint64_t digest_of(velto::VeltoActorCritic& agent) {
  Digest digest;
  const std::uint64_t critic_digest = digest_of(agent.critic);
  digest.add_bytes(&critic_digest, sizeof(critic_digest));
  for (velto::ActorUnit& unit : agent.units) {
    const std::uint64_t unit_digest = digest_of(unit);
    digest.add_bytes(&unit_digest, sizeof(unit_digest));
  }
  return digest.value();
}
