// Drives learners through long seeded random runs and prints a digest of the whole state after
// every step. The suite builds it twice, once as is and once with VELTO_FORCE_SCALAR, and requires
// the same output (compare_paths.sh): the vectorised sweep, its bookkeeping of trace_list and the
// own exp/log routines must leave every member as the one-by-one code does, bit for bit.
//
// The runs aim at what could tell the paths apart: trace lists of hundreds of entries (many full
// and partial blocks of eight), feature lists with repeated indices, parameters that list an index
// twice (trace_sum of 1 or more, a negative epsilon), NaNs with different payloads meeting in one
// operation, exponents past the range of the polynomial routines, and states written directly into
// the members, including a recent_step holding the sweep's own mark.
//
// Every bit counts, signed zeros included, except a NaN's sign and payload: when two NaNs meet in
// one operation, the compiler's choice of operand order decides which payload survives, and the
// one-by-one code itself gives different payloads at -O0 and -O2.
//
// Exit status 77 from the vectorised build means this processor cannot take the vectorised path;
// a processor that can but whose math library disagrees with our exp and log fails the test.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "core/fast_math.hpp"
#include "learner_digest.hpp"

namespace {

float float_from_bits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

class Scenario {
 public:
  explicit Scenario(std::uint32_t seed) : engine_(seed) {}

  std::uint32_t next() { return static_cast<std::uint32_t>(engine_()); }
  std::mt19937& engine() { return engine_; }
  bool one_in(std::uint32_t n) { return next() % n == 0; }
  float uniform(float low, float high) {
    return low + static_cast<float>(next() >> 8) * 0x1p-24f * (high - low);
  }
  // Mostly ordinary; sometimes a quiet NaN with a random payload and sign, an infinity, a zero of
  // either sign or an arbitrary bit pattern.
  float wild(float low, float high) {
    switch (next() % 40) {
      case 0:
        return float_from_bits(0x7fc00000u | (next() & 0x803fffffu));
      case 1:
        return one_in(2) ? INFINITY : -INFINITY;
      case 2:
        return one_in(2) ? 0.0f : -0.0f;
      case 3:
        return float_from_bits(next());
      default:
        return uniform(low, high);
    }
  }
  // A feature list whose length and share of repeated indices vary from run to run.
  std::vector<std::int32_t> features(std::int32_t num_features, std::uint32_t max_length,
                                     std::uint32_t repeat_one_in) {
    std::vector<std::int32_t> list(next() % (max_length + 1));
    for (std::size_t n = 0; n < list.size(); ++n) {
      list[n] = n > 0 && one_in(repeat_one_in)
                    ? list[next() % n]
                    : static_cast<std::int32_t>(next() % static_cast<std::uint32_t>(num_features));
    }
    return list;
  }

 private:
  std::mt19937 engine_;
};

struct Run {
  std::int32_t num_features;
  std::uint32_t max_length;
  std::uint32_t repeat_one_in;
  bool wild;
};

void run_agent(int id, const Run& run, Scenario& s, int steps) {
  const auto parameter = [&](float low, float high) {
    return run.wild ? s.wild(low, high) : s.uniform(low, high);
  };
  const std::int32_t num_actions = static_cast<std::int32_t>(s.next() % 6);
  velto::VeltoActorCritic agent(run.num_features, num_actions, parameter(0.8f, 0.99f),
                                parameter(0.0005f, 0.05f), parameter(-0.001f, 0.02f),
                                parameter(0.0f, 0.1f), parameter(0.05f, 3.0f),
                                parameter(0.05f, 3.0f), parameter(0.3f, 1.5f),
                                parameter(0.0f, 1.0f), static_cast<std::int32_t>(s.next()));
  for (int t = 1; t <= steps; ++t) {
    const std::vector<std::int32_t> features =
        s.features(run.num_features, run.max_length, run.repeat_one_in);
    const float reward = run.wild ? s.wild(-2.0f, 2.0f) : s.uniform(-1.0f, 1.0f);
    const float gamma = s.one_in(30) ? 0.0f : (run.wild ? s.wild(0.5f, 1.0f) : 0.95f);
    const std::vector<std::int32_t> taken = agent.step(features, reward, gamma);
    Digest digest;
    digest.add(taken);
    const std::uint64_t agent_digest = digest_of(agent);
    digest.add_bytes(&agent_digest, sizeof(agent_digest));
    std::printf("agent %d step %d live %zu digest %016" PRIx64 "\n", id, t,
                agent.critic.trace_list.size(), digest.value());
  }
}

// Fills every array of a learner with values from `s`, lists random indices, some twice, and
// sometimes plants the sweep's mark (a signalling NaN) in recent_step.
template <typename Learner>
void scramble(Learner& learner, Scenario& s, std::int32_t num_features) {
  for (std::vector<float>* array : arrays_of(learner)) {
    for (float& value : *array) {
      value = s.wild(-0.5f, 0.5f);
    }
  }
  // Distinct indices in a random order, and in one run out of three a few of them listed again.
  std::vector<std::int32_t> all(static_cast<std::size_t>(num_features));
  for (std::int32_t i = 0; i < num_features; ++i) {
    all[static_cast<std::size_t>(i)] = i;
  }
  std::shuffle(all.begin(), all.end(), s.engine());
  const std::size_t listed = s.next() % 200;
  learner.trace_list.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(listed));
  if (listed > 0 && s.one_in(3)) {
    for (std::uint32_t n = s.next() % 4; n-- > 0;) {
      learner.trace_list.push_back(learner.trace_list[s.next() % listed]);
    }
  }
  if (s.one_in(4)) {
    learner.recent_step[static_cast<std::size_t>(
        learner.trace_list.empty() ? 0 : learner.trace_list[0])] = float_from_bits(0x7f8c51edu);
  }
}

enum class Budget {
  // Scrambled states and wild parameters.
  kWild,
  // A budget of 1, every log step size starting at 0 and moving by tiny meta steps (no decay, a
  // unit that always acts), so that exp of an updated log step size equals the budget exactly
  // while the log step size itself is not log(1): the cap's strict comparison then decides.
  kOnTheCap,
  // An infinite budget and log step sizes around the point where exp overflows: only the test
  // for an infinite exp caps them.
  kUnbounded,
};

void run_learners(int id, Scenario& s, int steps, Budget budget_kind) {
  constexpr std::int32_t kFeatures = 400;
  const bool on_the_cap = budget_kind == Budget::kOnTheCap;
  const float alpha = on_the_cap ? 1.0f : s.uniform(0.001f, 0.1f);
  const float meta = on_the_cap ? 1e-9f : s.wild(0.0f, 0.2f);
  const float budget = on_the_cap                          ? 1.0f
                       : budget_kind == Budget::kUnbounded ? INFINITY
                                                           : s.wild(0.1f, 2.0f);
  const float decay = on_the_cap ? 1.0f : s.wild(0.3f, 1.5f);
  velto::Critic critic(kFeatures, s.uniform(0.5f, 1.0f), alpha, s.wild(-0.01f, 0.05f), meta, budget,
                       decay);
  velto::ActorUnit unit(kFeatures, s.uniform(0.5f, 1.0f), alpha, s.wild(-0.01f, 0.05f), meta,
                        budget, decay, on_the_cap ? 1.0f : s.wild(0.0f, 1.0f), s.next());
  if (!on_the_cap) {
    scramble(critic, s, kFeatures);
    scramble(unit, s, kFeatures);
  }
  if (budget_kind == Budget::kUnbounded) {
    for (float& value : critic.log_step_size) {
      value = s.uniform(86.0f, 92.0f);
    }
    for (float& value : unit.log_step_size) {
      value = s.uniform(86.0f, 92.0f);
    }
  }
  for (int t = 1; t <= steps; ++t) {
    // On the cap, every other run gives one feature at a time, which keeps the critic within its
    // budget, so that its meta steps are not cleared away.
    const std::vector<std::int32_t> features =
        s.features(kFeatures, on_the_cap && id % 2 == 0 ? 1 : 40, 4);
    const velto::CriticOutput out = critic.step(features, s.wild(-1.0f, 1.0f), s.wild(0.5f, 1.0f));
    const bool taken =
        unit.step(features, s.wild(-1.0f, 1.0f), s.wild(0.5f, 1.0f), s.wild(-0.1f, 0.1f));
    Digest digest;
    digest.add(out.value_change);
    digest.add(out.td_error);
    digest.add_bytes(&taken, sizeof(taken));
    const std::uint64_t parts[2] = {digest_of(critic), digest_of(unit)};
    digest.add_bytes(parts, sizeof(parts));
    std::printf("learners %d step %d listed %zu/%zu digest %016" PRIx64 "\n", id, t,
                critic.trace_list.size(), unit.trace_list.size(), digest.value());
  }
}

}  // namespace

int main() {
#ifndef VELTO_FORCE_SCALAR
  if (!velto::processor_supports_fast_math()) {
    std::fprintf(stderr, "this processor takes the one-by-one path only\n");
    return 77;
  }
  if (!velto::fast_math_usable()) {
    std::fprintf(stderr, "the platform's expf or logf disagree with ours: vectorised path off\n");
    return 1;
  }
#endif
  Scenario s(7041u);
  const Run runs[] = {
      {2000, 40, 1000000, false}, {300, 150, 3, false}, {30000, 130, 20, false},
      {50, 12, 2, true},          {5000, 64, 8, true},  {20000, 100, 50, true},
  };
  int id = 0;
  for (const Run& run : runs) {
    run_agent(id++, run, s, 1000);
  }
  for (int n = 0; n < 40; ++n) {
    run_learners(n, s, 25, Budget::kWild);
  }
  for (int n = 40; n < 44; ++n) {
    run_learners(n, s, 60, Budget::kOnTheCap);
  }
  for (int n = 44; n < 48; ++n) {
    run_learners(n, s, 10, Budget::kUnbounded);
  }
  return 0;
}
