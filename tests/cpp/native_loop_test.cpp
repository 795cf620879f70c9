// The native loop on its own threads: the same episodes and agents for any thread count and any
// size of the units of work, failures reported rather than lost, and a loop destroyed midway
// stopping its workers. scripts/harden.sh also runs these under ThreadSanitizer.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "kit/experiments/native_loop.hpp"

namespace {

using velto::NativeLoop;

velto::VeltoActorCritic agent_for(std::int32_t features, std::int32_t units, std::int32_t seed) {
  return velto::VeltoActorCritic(features, units, 0.8f, 0.05f, 0.01f, 0.01f, 1.0f, 1.0f, 0.999f,
                                 0.5f, seed);
}

struct Outcome {
  std::map<std::pair<std::size_t, std::int64_t>, std::tuple<double, std::int64_t, std::int64_t>>
      episodes;
  std::vector<std::vector<float>> weights;  // each member's critic and unit weights, in order
  std::vector<std::vector<float>> traces;
  std::size_t hand_overs = 0;
};

std::vector<velto::NativeMember> cart_poles(std::size_t count, std::int64_t episodes) {
  std::vector<velto::NativeMember> members;
  const velto::TileCoder coder({-2.4, -3.0, -0.2095, -3.5}, {2.4, 3.0, 0.2095, 3.5}, 4, 4,
                               std::nullopt);
  for (std::size_t i = 0; i < count; ++i) {
    velto::NativeMember member(velto::tasks::make_task("CartPole-v1", {}),
                               velto::NumpyGenerator(std::uint64_t{7} + i),
                               agent_for(coder.num_features(), 1, static_cast<std::int32_t>(i)));
    member.seed = 7 + i;
    member.end_episode = episodes;
    members.push_back(std::move(member));
  }
  return members;
}

velto::NativeFeatures cart_pole_features() {
  return velto::NativeFeatures::tiles(velto::TileCoder({-2.4, -3.0, -0.2095, -3.5},
                                                       {2.4, 3.0, 0.2095, 3.5}, 4, 4,
                                                       std::nullopt));
}

Outcome drain(NativeLoop& loop) {
  Outcome outcome;
  while (true) {
    const std::vector<std::size_t> finished = loop.take_finished();
    if (finished.empty()) {
      break;
    }
    for (const std::size_t index : finished) {
      ++outcome.hand_overs;
      for (const velto::EpisodeRecord& record : loop.records(index)) {
        outcome.episodes[{record.agent, record.episode}] = {record.episode_return, record.length,
                                                           record.steps};
      }
      loop.records(index).clear();
      loop.release(index);
    }
  }
  EXPECT_TRUE(loop.done());
  for (std::size_t i = 0; i < loop.size(); ++i) {
    const velto::VeltoActorCritic& agent = loop.member(i).agent;
    outcome.weights.push_back(agent.critic.weights);
    outcome.traces.push_back(agent.critic.traces);
    for (const velto::ActorUnit& unit : agent.units) {
      outcome.weights.push_back(unit.weights);
      outcome.traces.push_back(unit.traces);
    }
  }
  return outcome;
}

bool same_bits(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].size() != b[i].size() ||
        std::memcmp(a[i].data(), b[i].data(), a[i].size() * sizeof(float)) != 0) {
      return false;
    }
  }
  return true;
}

TEST(NativeLoop, ThreadsAndUnitSizesGiveTheSameEpisodesAndAgents) {
  velto::LoopSettings one;
  NativeLoop reference(cart_poles(5, 12), cart_pole_features(), velto::NativeMapping("binary", 2),
                       one);
  const Outcome expected = drain(reference);
  ASSERT_EQ(expected.episodes.size(), 5u * 12u);
  EXPECT_EQ(expected.hand_overs, 5u);  // one unit per member: all its episodes at once

  struct Variant {
    std::int32_t threads;
    std::int64_t unit_steps;
    std::int64_t every;
  };
  for (const Variant variant : {Variant{2, 1, 0}, Variant{3, 40, 0}, Variant{2, 1 << 16, 5},
                                Variant{1, 1, 0}}) {
    velto::LoopSettings settings;
    settings.threads = variant.threads;
    settings.unit_steps = variant.unit_steps;
    settings.checkpoint_every = variant.every;
    NativeLoop loop(cart_poles(5, 12), cart_pole_features(), velto::NativeMapping("binary", 2),
                    settings);
    const Outcome outcome = drain(loop);
    EXPECT_EQ(outcome.episodes, expected.episodes) << variant.threads << " " << variant.unit_steps;
    EXPECT_TRUE(same_bits(outcome.weights, expected.weights));
    EXPECT_TRUE(same_bits(outcome.traces, expected.traces));
    if (variant.unit_steps == 1) {
      EXPECT_EQ(outcome.hand_overs, 5u * 12u);  // one hand-over per episode
    } else if (variant.every == 5) {
      EXPECT_EQ(outcome.hand_overs, 5u * 3u);  // after episodes 4 and 9, and at the end
    }
  }
}

TEST(NativeLoop, TheMembersDifferSoTheComparisonAboveMeansSomething) {
  NativeLoop loop(cart_poles(2, 6), cart_pole_features(), velto::NativeMapping("binary", 2), {});
  const Outcome outcome = drain(loop);
  std::vector<double> first;
  std::vector<double> second;
  for (std::int64_t episode = 0; episode < 6; ++episode) {
    first.push_back(std::get<0>(outcome.episodes.at({0, episode})));
    second.push_back(std::get<0>(outcome.episodes.at({1, episode})));
  }
  EXPECT_NE(first, second);
  EXPECT_FALSE(same_bits({outcome.weights[0]}, {outcome.weights[2]}));
}

TEST(NativeLoop, AFailingUnitIsReportedNotLost) {
  for (const std::int32_t threads : {1, 2}) {
    std::vector<velto::NativeMember> members;
    for (std::size_t i = 0; i < 3; ++i) {
      velto::NativeMember member(velto::tasks::make_task("CliffWalking-v1", {}),
                                 velto::NumpyGenerator(std::uint64_t{1}), agent_for(48, 2, 1));
      member.end_episode = 3;
      members.push_back(std::move(member));
    }
    velto::LoopSettings settings;
    settings.threads = threads;
    // States 0..47 coded from 40 on: the start state, 36, lies outside the code.
    NativeLoop loop(std::move(members), velto::NativeFeatures::one_hot(48, 40),
                    velto::NativeMapping("binary", 4), settings);
    EXPECT_THROW(drain(loop), std::invalid_argument) << threads;
  }
}

TEST(NativeLoop, ALoopDestroyedMidwayStopsItsWorkersPromptly) {
  velto::LoopSettings settings;
  settings.threads = 2;
  settings.unit_steps = 1;
  {
    NativeLoop loop(cart_poles(4, 1'000'000), cart_pole_features(),
                    velto::NativeMapping("binary", 2), settings);
    const std::vector<std::size_t> finished = loop.take_finished();
    ASSERT_FALSE(finished.empty());
    loop.release(finished.front());
    // A million episodes each would take many minutes: leaving this scope must stop the workers
    // at their next step (ctest's timeout for this program catches a loop that does not).
  }
}

TEST(NativeLoop, RefusesMembersThatDoNotFitTheFeaturesOrTheMapping) {
  auto members = cart_poles(1, 1);
  EXPECT_THROW(NativeLoop(std::move(members), cart_pole_features(),
                          velto::NativeMapping("one-per-action", 2), {}),
               std::invalid_argument);
  EXPECT_THROW(NativeLoop(cart_poles(1, 1), velto::NativeFeatures::one_hot(10, 0),
                          velto::NativeMapping("binary", 2), {}),
               std::invalid_argument);
  EXPECT_THROW(velto::NativeMapping("opposing", 4), std::invalid_argument);
}

// Members whose episodes never end: a fresh agent's greedy policy takes no unit, so the binary
// mapping moves left for ever from FrozenLake's start, and no time limit ends the episode.
std::vector<velto::NativeMember> endless(std::size_t count) {
  std::vector<velto::NativeMember> members;
  for (std::size_t i = 0; i < count; ++i) {
    velto::NativeMember member(
        velto::tasks::make_task("FrozenLake-v1",
                                {{"is_slippery", false}, {"max_episode_steps", std::int64_t{-1}}}),
        velto::NumpyGenerator(std::uint64_t{3}), agent_for(16, 2, static_cast<std::int32_t>(i)));
    member.end_episode = 1;
    members.push_back(std::move(member));
  }
  return members;
}

TEST(NativeLoop, AnInterruptCheckStopsUnitsThatNeverEndAnEpisode) {
  for (const std::int32_t threads : {1, 2}) {
    velto::LoopSettings settings;
    settings.threads = threads;
    settings.mode = velto::LoopMode::greedy;
    NativeLoop loop(endless(2), velto::NativeFeatures::one_hot(16, 0),
                    velto::NativeMapping("binary", 4), settings);
    const std::thread::id owner = std::this_thread::get_id();
    int calls = 0;
    bool elsewhere = false;
    loop.set_interrupt_check(
        [&] {
          elsewhere = elsewhere || std::this_thread::get_id() != owner;
          return ++calls == 3;
        },
        std::chrono::milliseconds(1));
    // ctest's timeout catches a loop that never asks.
    EXPECT_THROW(loop.take_finished(), velto::LoopInterrupted) << threads;
    EXPECT_EQ(calls, 3) << threads;
    EXPECT_FALSE(elsewhere) << threads;
    EXPECT_TRUE(loop.done()) << threads;  // every member abandoned, none left to hand over
  }
}

TEST(NativeLoop, AnInterruptedUnitIsNeverHandedOver) {
  // One thread runs each unit inside take_finished: one stopped midway must not come back as
  // finished, with the episodes it did record before the stop.
  velto::LoopSettings settings;
  settings.unit_steps = 1'000'000'000;
  NativeLoop loop(cart_poles(1, 1'000'000), cart_pole_features(), velto::NativeMapping("binary", 2),
                  settings);
  bool asked = false;
  loop.set_interrupt_check(
      [&] {
        asked = true;
        return true;
      },
      std::chrono::milliseconds(1));
  EXPECT_THROW(loop.take_finished(), velto::LoopInterrupted);
  EXPECT_TRUE(asked);
  EXPECT_FALSE(loop.records(0).empty());  // it had done episodes when it stopped
  EXPECT_TRUE(loop.done());
}

}  // namespace
