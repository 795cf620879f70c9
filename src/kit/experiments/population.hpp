#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "kit/experiments/worker_pool.hpp"

namespace velto {

// The active features of every agent for one call: row i is agent i's list. Either `width`
// indices per row in one block (offsets == nullptr), or ragged rows, row i spanning
// [offsets[i], offsets[i + 1]) of the block. The block holds int32 or int64 indices, so that
// NumPy arrays of either type are read where they lie.
struct FeatureRows {
  const std::int32_t* narrow = nullptr;
  const std::int64_t* wide = nullptr;
  const std::int64_t* offsets = nullptr;
  std::size_t width = 0;

  std::size_t begin(std::size_t row) const {
    return offsets == nullptr ? row * width : static_cast<std::size_t>(offsets[row]);
  }
  std::size_t end(std::size_t row) const {
    return offsets == nullptr ? (row + 1) * width : static_cast<std::size_t>(offsets[row + 1]);
  }
  std::int64_t at(std::size_t position) const {
    return narrow != nullptr ? narrow[position] : wide[position];
  }
};

// A step of the population that failed midway: which agents were stepped, and the exception
// that stopped it (std::bad_alloc when memory ran out). The agent whose step threw is left as
// its own step leaves it on that exception.
class PopulationStepError : public std::runtime_error {
 public:
  PopulationStepError(const std::string& message, std::exception_ptr cause)
      : std::runtime_error(message), cause_(std::move(cause)) {}
  const std::exception_ptr& cause() const { return cause_; }

 private:
  std::exception_ptr cause_;
};

// Steps a fixed list of agents once each per call, agent i on row i of the inputs, each through
// its own VeltoActorCritic::step, so that every agent's arithmetic is the one of stepping it
// alone. With more than one thread a call whose work pays for handing some of it to other threads
// (see blocks_for) splits the agents by index into contiguous blocks, one per thread, block 0 on
// the calling thread; any other call, and every call with one thread, steps every agent on the
// calling thread with no hand-over. An agent is only ever stepped by one thread in a call, and no
// two entries of the list may be the same agent; the results are the same for any split.
//
// The population holds no lock of its own: its caller must keep every other user of the agents
// out for the duration of a call (the Python binding keeps the interpreter lock held).
class Population {
 public:
  // How one agent is stepped: the agent's own step, replaceable so that tests can make a step
  // fail midway.
  using AgentStep = std::vector<std::int32_t> (*)(VeltoActorCritic&,
                                                  const std::vector<std::int32_t>&, float, float);

  // Throws std::invalid_argument when `agents` is empty, holds a null pointer or one agent
  // twice, the agents differ in their number of actions, or `threads` is below 1.
  Population(std::vector<VeltoActorCritic*> agents, std::int32_t threads,
             AgentStep step = &own_step);
  ~Population();
  Population(const Population&) = delete;
  Population& operator=(const Population&) = delete;

  std::size_t size() const { return agents_.size(); }
  std::int32_t threads() const { return threads_; }
  std::size_t num_actions() const { return num_actions_; }
  const std::vector<VeltoActorCritic*>& agents() const { return agents_; }

  // Checks every row, then steps every agent whose `active` entry is non-zero (all of them when
  // `active` is null) with its features, rewards[i] and gammas[i], and writes the actions taken
  // as a mask: taken[i * num_actions() + a] = 1 when agent i took action a, 0 otherwise (and for
  // inactive rows). Throws std::out_of_range naming the row and the index, before any agent
  // changes, when an active row holds an index outside its agent's [0, num_features).
  //
  // When an agent's step throws, the call stops stepping: its block steps none of its later
  // agents, and every other block finishes the step it is in (if any) and steps no further
  // agent. The call then throws PopulationStepError naming the failed agent(s), the agents
  // stepped and those not stepped; each failed agent is left as its own step leaves it on that
  // exception, the others stepped whole or not at all.
  void step(const FeatureRows& rows, const float* rewards, const float* gammas,
            const std::uint8_t* active, std::uint8_t* taken);

  // True from the moment a step of the current call has failed until the next call starts: the
  // flag every block reads before each agent. Lets a test hold a block until another has failed.
  bool stopping() const { return failed_.load(std::memory_order_acquire); }

  // Live traces and active features (the call's work, see check) that each block of a split
  // call must have: a call with less than twice this steps on the calling thread, since handing
  // a block to a worker would cost more than it saves.
  //
  // Measured on the shared 2-core Debian 12 machine under a load average of about 10: a round
  // trip to a worker (WorkerPool::run of two empty tasks) had medians of 4 to 11 us of wall time,
  // back to back or with the caller busy 0.2 to 1 ms between calls, and 169 us in one run, with
  // a tail of milliseconds whenever no core was free; earlier measurements found 14 to 48 us. A
  // CartPole agent's step costs about 44 ns per live trace and feature once 64 of them no longer
  // fit the caches. 8,192 are about 360 us of stepping, several times the usual round trip: 64
  // CartPole agents (about 66 each, 4,200 in all) step on the calling thread, 256 (16,900) are
  // split in two.
  static constexpr std::size_t kWorkPerBlock = 8192;

  // How many blocks a call of `work` live traces and features splits into with `threads`
  // threads and `size` agents: one per `work_per_block` of work (as many as the threads allow
  // when it is 0), at most one per thread and per agent, at least one.
  static std::size_t blocks_for(std::size_t work, std::size_t threads, std::size_t size,
                                std::size_t work_per_block = kWorkPerBlock) {
    const std::size_t by_work = work_per_block == 0 ? threads : work / work_per_block;
    return std::max<std::size_t>(1, std::min({by_work, threads, size}));
  }

  // The work per block this population splits its calls at: kWorkPerBlock unless set otherwise.
  // Tests set 0 so that every call with more than one thread is split, however small.
  std::size_t work_per_block() const { return work_per_block_; }
  void set_work_per_block(std::size_t work) { work_per_block_ = work; }

  // The first agent of block `block` when `size` agents are split into `blocks` contiguous
  // blocks of sizes differing by at most one; block b steps [block_start(b), block_start(b + 1)),
  // block 0 on the calling thread and block b on worker b - 1.
  static std::size_t block_start(std::size_t size, std::size_t blocks, std::size_t block) {
    return size * block / blocks;
  }

 private:
  static std::vector<std::int32_t> own_step(VeltoActorCritic& agent,
                                            const std::vector<std::int32_t>& features, float reward,
                                            float gamma) {
    return agent.step(features, reward, gamma);
  }

  // Checks the rows (see step) and returns the call's work: the live traces of every active
  // agent's critic and units and the features of its row.
  std::size_t check(const FeatureRows& rows, const std::uint8_t* active) const;
  void step_block(std::size_t block, std::size_t blocks, const FeatureRows& rows,
                  const float* rewards, const float* gammas, const std::uint8_t* active,
                  std::uint8_t* taken);
  void throw_step_error() const;

  std::vector<VeltoActorCritic*> agents_;
  std::int32_t threads_;
  std::size_t num_actions_;
  AgentStep step_;
  std::unique_ptr<WorkerPool> pool_;
  std::size_t work_per_block_ = kWorkPerBlock;

  // Per call: one feature list per block (kept between calls, so that they stop allocating),
  // each row's outcome, and the first failure.
  std::vector<std::vector<std::int32_t>> block_features_;
  std::vector<std::uint8_t> outcome_;
  std::vector<std::exception_ptr> block_errors_;
  std::atomic<bool> failed_{false};
};

}  // namespace velto
