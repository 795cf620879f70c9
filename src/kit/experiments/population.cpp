#include "kit/experiments/population.hpp"

#include <algorithm>
#include <new>
#include <unordered_map>

namespace velto {

namespace {

// Row outcomes of a call.
constexpr std::uint8_t kNotStepped = 0;
constexpr std::uint8_t kStepped = 1;
constexpr std::uint8_t kFailed = 2;

// "0-3, 5, 9-10" for the rows whose outcome is `wanted`, or "none".
std::string rows_with(const std::vector<std::uint8_t>& outcome, std::uint8_t wanted) {
  std::string text;
  std::size_t i = 0;
  while (i < outcome.size()) {
    if (outcome[i] != wanted) {
      ++i;
      continue;
    }
    std::size_t last = i;
    while (last + 1 < outcome.size() && outcome[last + 1] == wanted) {
      ++last;
    }
    text += (text.empty() ? "" : ", ") + std::to_string(i);
    if (last > i) {
      text += "-" + std::to_string(last);
    }
    i = last + 1;
  }
  return text.empty() ? "none" : text;
}

}  // namespace

Population::Population(std::vector<VeltoActorCritic*> agents, std::int32_t threads, AgentStep step)
    : agents_(std::move(agents)), threads_(threads), num_actions_(0), step_(step) {
  if (agents_.empty()) {
    throw std::invalid_argument("a population needs at least one agent");
  }
  if (threads < 1) {
    throw std::invalid_argument("threads must be at least 1, not " + std::to_string(threads));
  }
  // Two threads stepping one agent would race on its memory, and even one thread would step it
  // twice in a call: the same agent may appear only once.
  std::unordered_map<const VeltoActorCritic*, std::size_t> seen;
  for (std::size_t i = 0; i < agents_.size(); ++i) {
    if (agents_[i] == nullptr) {
      throw std::invalid_argument("agent " + std::to_string(i) + " is null");
    }
    const auto [where, inserted] = seen.emplace(agents_[i], i);
    if (!inserted) {
      throw std::invalid_argument("agents " + std::to_string(where->second) + " and " +
                                  std::to_string(i) + " are the same agent");
    }
  }
  num_actions_ = agents_[0]->units.size();
  std::string differing;
  for (std::size_t i = 1; i < agents_.size(); ++i) {
    if (agents_[i]->units.size() != num_actions_) {
      differing += (differing.empty() ? "" : ", ") + std::to_string(i) + " (" +
                   std::to_string(agents_[i]->units.size()) + ")";
    }
  }
  if (!differing.empty()) {
    throw std::invalid_argument("every agent needs the num_actions of agent 0 (" +
                                std::to_string(num_actions_) + "); agents " + differing +
                                " differ");
  }
}

Population::~Population() {
  // A forked child has none of the pool's threads: joining them would never return, so the
  // child's copy of the pool is left unfreed.
  if (pool_ && pool_->abandoned_by_fork()) {
    static_cast<void>(pool_.release());
  }
}

std::size_t Population::check(const FeatureRows& rows, const std::uint8_t* active) const {
  std::size_t work = 0;
  for (std::size_t i = 0; i < agents_.size(); ++i) {
    const VeltoActorCritic& agent = *agents_[i];
    // Read on every call, not cached: loading a checkpoint into an agent may change its sizes.
    if (agent.units.size() != num_actions_) {
      throw std::invalid_argument("agent " + std::to_string(i) + " now has " +
                                  std::to_string(agent.units.size()) + " actions, not " +
                                  std::to_string(num_actions_));
    }
    if (active != nullptr && active[i] == 0) {
      continue;
    }
    const std::int64_t num_features = static_cast<std::int64_t>(agent.critic.weights.size());
    for (std::size_t k = rows.begin(i); k < rows.end(i); ++k) {
      const std::int64_t index = rows.at(k);
      if (index < 0 || index >= num_features) {
        throw std::out_of_range("features of row " + std::to_string(i) + ": index " +
                                std::to_string(index) + " is outside agent " + std::to_string(i) +
                                "'s range [0, " + std::to_string(num_features) + ")");
      }
    }
    // A step sweeps every live trace of the critic and of each unit, and enters each feature.
    work += rows.end(i) - rows.begin(i) + agent.critic.trace_list.size();
    for (const ActorUnit& unit : agent.units) {
      work += unit.trace_list.size();
    }
  }
  return work;
}

void Population::step(const FeatureRows& rows, const float* rewards, const float* gammas,
                      const std::uint8_t* active, std::uint8_t* taken) {
  const std::size_t work = check(rows, active);

  // Fork: the child's pool has no threads. Dropped (unfreed, see the destructor) and started
  // again below.
  if (pool_ && pool_->abandoned_by_fork()) {
    static_cast<void>(pool_.release());
  }
  // One block steps inline, on the calling thread, with no hand-over. The pool is started with
  // every thread the population may use, the first time a call needs it.
  const std::size_t blocks =
      blocks_for(work, static_cast<std::size_t>(threads_), agents_.size(), work_per_block_);
  if (blocks > 1 && !pool_) {
    pool_ = std::make_unique<WorkerPool>(
        std::min(agents_.size(), static_cast<std::size_t>(threads_)) - 1);
  }

  // Everything a call allocates is had before any agent changes, so that running out of memory
  // here leaves every agent untouched.
  std::size_t longest = 0;
  for (std::size_t i = 0; i < agents_.size(); ++i) {
    longest = std::max(longest, rows.end(i) - rows.begin(i));
  }
  block_features_.resize(blocks);
  for (std::vector<std::int32_t>& features : block_features_) {
    features.reserve(longest);
  }
  outcome_.assign(agents_.size(), kNotStepped);
  block_errors_.assign(blocks, nullptr);
  failed_.store(false, std::memory_order_relaxed);
  std::fill(taken, taken + agents_.size() * num_actions_, std::uint8_t{0});

  if (blocks == 1) {
    step_block(0, 1, rows, rewards, gammas, active, taken);
  } else {
    pool_->run(blocks, [&](std::size_t block) {
      step_block(block, blocks, rows, rewards, gammas, active, taken);
    });
  }
  if (failed_.load(std::memory_order_relaxed)) {
    throw_step_error();
  }
}

void Population::step_block(std::size_t block, std::size_t blocks, const FeatureRows& rows,
                            const float* rewards, const float* gammas, const std::uint8_t* active,
                            std::uint8_t* taken) {
  std::vector<std::int32_t>& features = block_features_[block];
  const std::size_t last = block_start(agents_.size(), blocks, block + 1);
  for (std::size_t i = block_start(agents_.size(), blocks, block); i < last; ++i) {
    // After a failure anywhere the remaining agents are left alone (see step): the call's
    // error must say which agents stepped, and memory has likely run out.
    if (failed_.load(std::memory_order_acquire)) {
      return;
    }
    if (active != nullptr && active[i] == 0) {
      continue;
    }
    // Within the reserved capacity: no allocation.
    features.clear();
    for (std::size_t k = rows.begin(i); k < rows.end(i); ++k) {
      features.push_back(static_cast<std::int32_t>(rows.at(k)));
    }
    try {
      const std::vector<std::int32_t> actions = step_(*agents_[i], features, rewards[i], gammas[i]);
      std::uint8_t* row = taken + i * num_actions_;
      for (const std::int32_t action : actions) {
        row[action] = 1;
      }
      outcome_[i] = kStepped;
    } catch (...) {
      outcome_[i] = kFailed;
      block_errors_[block] = std::current_exception();
      failed_.store(true, std::memory_order_release);
      return;
    }
  }
}

void Population::throw_step_error() const {
  std::exception_ptr cause;
  std::string what = "unknown error";
  for (const std::exception_ptr& error : block_errors_) {
    if (error) {
      cause = error;
      break;
    }
  }
  try {
    std::rethrow_exception(cause);
  } catch (const std::bad_alloc&) {
    what = "out of memory";
  } catch (const std::exception& error) {
    what = error.what();
  } catch (...) {
  }
  throw PopulationStepError("stepping the population failed (" + what +
                                ") in the step of agent(s) " + rows_with(outcome_, kFailed) +
                                ", each left as its own step leaves it on that error; " +
                                "agents stepped: " + rows_with(outcome_, kStepped) +
                                "; agents not stepped: " + rows_with(outcome_, kNotStepped),
                            cause);
}

}  // namespace velto
