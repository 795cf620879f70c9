// NumPy's generator and the native tasks without Python: values NumPy 2 gives for these seeds
// (numpy.random.default_rng), and the tasks' checks of their options and states.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "kit/experiments/numpy_random.hpp"
#include "kit/experiments/tasks/task.hpp"
#include "kit/experiments/tasks/timed_task.hpp"

namespace {

using velto::NumpyGenerator;

velto::Uint128 join(std::uint64_t high, std::uint64_t low) {
  return (static_cast<velto::Uint128>(high) << 64) | low;
}

TEST(NumpyGenerator, SeedsAsDefaultRngDoes) {
  const NumpyGenerator generator(0);
  EXPECT_TRUE(generator.state().state == join(0x1aa1b5345996452dULL, 0x09585eb7a69561e3ULL));
  EXPECT_TRUE(generator.state().inc == join(0x418ddadb3af71a82ULL, 0x588133bc447873a9ULL));
  EXPECT_FALSE(generator.state().has_uint32);
}

TEST(NumpyGenerator, SeedsOfManyWordsAreIntegersWordByWord) {
  // 2**32 + 5 as words or as a 64-bit integer is one seed; a seed of no words or with a zero word
  // on top is no integer's and is refused.
  EXPECT_TRUE(NumpyGenerator(velto::Seed({5U, 1U})).state().state ==
              NumpyGenerator((std::uint64_t{1} << 32) + 5).state().state);
  EXPECT_TRUE(NumpyGenerator(velto::Seed({0U})).state().state == NumpyGenerator(0).state().state);
  EXPECT_THROW(velto::Seed(std::vector<std::uint32_t>{}), std::invalid_argument);
  EXPECT_THROW(velto::Seed({5U, 0U}), std::invalid_argument);
  EXPECT_NO_THROW(velto::Seed({0U, 0U, 7U}));
}

TEST(NumpyGenerator, DrawsRawOutputsAsNumpyDoes) {
  NumpyGenerator generator(0);
  EXPECT_EQ(generator.next_uint64(), 0xa30febcfd9c2825fULL);
  EXPECT_EQ(generator.next_uint64(), 0x4510bdf882d9d721ULL);
  EXPECT_EQ(generator.next_uint64(), 0x0a7d3da94ecde8b8ULL);
}

TEST(NumpyGenerator, DrawsFloatsAndBoundedIntegersAsNumpyDoes) {
  NumpyGenerator generator(std::uint64_t{1} << 63);
  EXPECT_EQ(generator.random(), 0.8113443785196867);
  EXPECT_EQ(generator.integers(7), 2);
  EXPECT_EQ(generator.integers(std::int64_t{1} << 40), 954660951094);
  EXPECT_EQ(generator.integers(std::int64_t{1} << 32), 2561744567);
  EXPECT_EQ(generator.integers(std::int64_t{1} << 32), 2546860043);
  // The second 32-bit draw took a new output and kept its upper half.
  EXPECT_TRUE(generator.state().has_uint32);
  EXPECT_EQ(generator.state().uinteger, 1825901412U);
  EXPECT_THROW(generator.integers(0), std::invalid_argument);

  NumpyGenerator other(42);
  EXPECT_EQ(other.uniform(-0.05, 0.05), 0.027395604855596334);
}

TEST(Float32Cast, RoundsPastTheLargestFloatAsNumpyDoes) {
  using velto::tasks::as_float32;
  constexpr double kLargest = std::numeric_limits<float>::max();
  EXPECT_EQ(as_float32(0.1), static_cast<double>(0.1F));
  EXPECT_EQ(as_float32(0x1.fffffefffffffp127), kLargest);  // below the halfway point
  EXPECT_EQ(as_float32(-0x1.fffffefffffffp127), -kLargest);
  EXPECT_TRUE(std::isinf(as_float32(0x1.ffffffp127)));  // halfway rounds to even: infinity
  EXPECT_TRUE(std::isinf(as_float32(-1e300)) && as_float32(-1e300) < 0.0);
  EXPECT_TRUE(std::isnan(as_float32(std::nan(""))));
}

TEST(MakeTask, RefusesWhatItCannotHonourByName) {
  using velto::tasks::make_task;
  const auto message = [](const std::string& id, const velto::tasks::TaskOptions& options) {
    try {
      make_task(id, options);
    } catch (const std::invalid_argument& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(message("CartPole-v1", {{"length", 1.0}}).find("length"), std::string::npos);
  EXPECT_NE(message("Taxi-v4", {{"max_episode_steps", std::int64_t{0}}}).find("max_episode_steps"),
            std::string::npos);
  EXPECT_NE(message("Pong-v5", {}).find("Pong-v5"), std::string::npos);
  EXPECT_EQ(message("FrozenLake-v1", {{"is_slippery", false}}), "accepted");
}

TEST(Task, StateRoundTripsAndBadStatesChangeNothing) {
  auto task = velto::tasks::make_task("CartPole-v1", {});
  task->reset(5);
  task->step(1);
  const velto::tasks::TaskState saved = task->state();
  velto::tasks::TaskState bad = saved;
  bad.values.back() = 0.5;  // steps beyond termination must be a whole number
  EXPECT_THROW(task->set_state(bad), std::invalid_argument);
  const velto::tasks::TaskState after = task->state();
  EXPECT_EQ(after.values, saved.values);
  EXPECT_EQ(after.elapsed_steps, 1);

  auto twin = velto::tasks::make_task("CartPole-v1", {});
  twin->set_state(saved);
  for (int i = 0; i < 20; ++i) {
    const auto a = task->step(i % 2);
    const auto b = twin->step(i % 2);
    EXPECT_EQ(a.terminated, b.terminated);
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_EQ(task->observation()[j], twin->observation()[j]);
    }
  }
}

}  // namespace
