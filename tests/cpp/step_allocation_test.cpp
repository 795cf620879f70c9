// Once the trace lists have reached their working sizes, a learner's step allocates nothing and
// an agent's step allocates only its result list. Counted by replacing the global operator new in
// this test program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "agent/velto_actor_critic.hpp"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}

// GCC pairs the frees below with the new expressions into which it inlines the operator new
// above, and warns of a mismatch that the replacement itself rules out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
#pragma GCC diagnostic pop

namespace {

// A cycle of states whose features recur; with the epsilon used below a feature's trace is pruned
// about 20 steps after its state, before the state comes round again, so the lists grow and
// shrink within each turn of the cycle and their largest size settles. Some states repeat an
// index.
std::vector<std::vector<std::int32_t>> cycle_of_states(std::int32_t num_features) {
  std::vector<std::vector<std::int32_t>> states(40);
  for (std::size_t t = 0; t < states.size(); ++t) {
    for (std::int32_t n = 0; n < 24; ++n) {
      states[t].push_back(static_cast<std::int32_t>((t * 37 + static_cast<std::size_t>(n) * 101) %
                                                    static_cast<std::size_t>(num_features)));
    }
    if (t % 7 == 0) {
      states[t].push_back(states[t][3]);
    }
  }
  return states;
}

struct AllocationCase {
  const char* name;
  std::int32_t num_actions;
  float action_prob_at_init;
};

class StepAllocationTest : public ::testing::TestWithParam<AllocationCase> {};

TEST_P(StepAllocationTest, AWarmStepAllocatesOnlyTheResultList) {
  const AllocationCase& c = GetParam();
  constexpr std::int32_t kFeatures = 5000;
  velto::VeltoActorCritic agent(kFeatures, c.num_actions, 0.9f, 0.01f, 0.05f, 0.01f, 1.0f, 1.0f,
                                0.9f, c.action_prob_at_init, 7);
  const std::vector<std::vector<std::int32_t>> states = cycle_of_states(kFeatures);
  // Several turns of the cycle: the lists grow to their working sizes and their capacities stay.
  for (int turn = 0; turn < 30; ++turn) {
    for (const std::vector<std::int32_t>& features : states) {
      agent.step(features, 0.5f, 0.95f);
    }
  }

  const std::size_t before = allocations.load();
  std::size_t steps = 0;
  for (const std::vector<std::int32_t>& features : states) {
    agent.step(features, 0.5f, 0.95f);
    ++steps;
  }
  const std::size_t per_agent_step = c.num_actions > 0 ? 1 : 0;
  EXPECT_EQ(allocations.load() - before, steps * per_agent_step);
  EXPECT_FALSE(agent.critic.trace_list.empty());
  EXPECT_LT(agent.critic.trace_list.size(), 40u * 25u)
      << "nothing is pruned: the sizes never change";
}

INSTANTIATE_TEST_SUITE_P(Agents, StepAllocationTest,
                         ::testing::Values(AllocationCase{"no_actions", 0, 0.5f},
                                           AllocationCase{"four_actions_some_taken", 4, 0.5f},
                                           AllocationCase{"three_actions_always_taken", 3, 1.0f}),
                         [](const ::testing::TestParamInfo<AllocationCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
