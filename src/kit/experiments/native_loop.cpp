#include "kit/experiments/native_loop.hpp"

#include <time.h>
#include <unistd.h>

#include <cmath>
#include <stdexcept>
#include <utility>

#include "kit/state/evaluation.hpp"

namespace velto {

NativeFeatures NativeFeatures::tiles(const TileCoder& coder) {
  NativeFeatures features;
  features.coder_.emplace(coder);
  return features;
}

NativeFeatures NativeFeatures::one_hot(std::int64_t n, std::int64_t start) {
  if (n < 1 || n > INT32_MAX) {
    throw std::invalid_argument("a one-hot code needs between 1 and 2^31 - 1 states, not " +
                                std::to_string(n));
  }
  NativeFeatures features;
  features.n_ = n;
  features.start_ = start;
  return features;
}

std::int32_t NativeFeatures::num_features() const {
  return coder_ ? coder_->num_features() : static_cast<std::int32_t>(n_);
}

std::size_t NativeFeatures::num_dimensions() const {
  return coder_ ? static_cast<std::size_t>(coder_->num_dimensions()) : 1;
}

void NativeFeatures::active(const double* observation, std::size_t size,
                            std::vector<std::int32_t>& out) const {
  if (coder_) {
    if (size != static_cast<std::size_t>(coder_->num_dimensions())) {
      throw std::invalid_argument("expected an observation of " +
                                  std::to_string(coder_->num_dimensions()) + " values, got " +
                                  std::to_string(size));
    }
    out.resize(static_cast<std::size_t>(coder_->num_tilings()));
    coder_->active_features(observation, out.data());
    return;
  }
  // As OneHot: int() of the state (a discrete task's states are exact integers), then its place.
  const double state = std::trunc(observation[0]);
  if (size != 1 || !(state >= static_cast<double>(start_)) ||
      !(state < static_cast<double>(start_ + n_))) {
    throw std::invalid_argument("observation outside [" + std::to_string(start_) + ", " +
                                std::to_string(start_ + n_) + ")");
  }
  out.resize(1);
  out[0] = static_cast<std::int32_t>(static_cast<std::int64_t>(state) - start_);
}

NativeMapping::NativeMapping(const std::string& name, std::int32_t num_actions)
    : kind_(Kind::binary), num_actions_(num_actions), num_units_(0) {
  if (num_actions < 2) {
    throw std::invalid_argument("num_actions must be at least 2, not " +
                                std::to_string(num_actions));
  }
  if (name == "binary") {
    kind_ = Kind::binary;
    // ceil(log2 n): the bits of n - 1.
    for (std::uint32_t rest = static_cast<std::uint32_t>(num_actions - 1); rest != 0; rest >>= 1) {
      ++num_units_;
    }
  } else if (name == "one-per-action") {
    kind_ = Kind::one_per_action;
    num_units_ = num_actions;
  } else if (name == "opposing") {
    if (num_actions != 3) {
      throw std::invalid_argument("the opposing mapping needs 3 actions, not " +
                                  std::to_string(num_actions));
    }
    kind_ = Kind::opposing;
    num_units_ = 2;
  } else {
    throw std::invalid_argument("unknown action mapping '" + name + "'");
  }
}

std::int32_t NativeMapping::choose(const std::vector<std::int32_t>& taken,
                                   NumpyGenerator& rng) const {
  switch (kind_) {
    case Kind::binary: {
      std::int64_t code = 0;
      for (const std::int32_t unit : taken) {
        code |= std::int64_t{1} << unit;
      }
      if (code < num_actions_) {
        return static_cast<std::int32_t>(code);
      }
      return static_cast<std::int32_t>(rng.integers(num_actions_));
    }
    case Kind::one_per_action:
      if (taken.size() == 1) {
        return taken[0];
      }
      if (taken.empty()) {
        return static_cast<std::int32_t>(rng.integers(num_actions_));
      }
      return taken[static_cast<std::size_t>(rng.integers(static_cast<std::int64_t>(taken.size())))];
    case Kind::opposing: {
      bool first = false;
      bool last = false;
      for (const std::int32_t unit : taken) {
        first = first || unit == 0;
        last = last || unit == 1;
      }
      if (first == last) {
        return 1;
      }
      return first ? 0 : 2;
    }
  }
  return 0;
}

void AgentCalls::append(const std::vector<std::int32_t>& step_features, float reward,
                        float gamma) {
  features.insert(features.end(), step_features.begin(), step_features.end());
  offsets.push_back(features.size());
  rewards.push_back(reward);
  gammas.push_back(gamma);
}

void AgentCalls::append(const AgentCalls& other) {
  const std::size_t base = features.size();
  features.insert(features.end(), other.features.begin(), other.features.end());
  for (std::size_t i = 1; i < other.offsets.size(); ++i) {
    offsets.push_back(base + other.offsets[i]);
  }
  rewards.insert(rewards.end(), other.rewards.begin(), other.rewards.end());
  gammas.insert(gammas.end(), other.gammas.begin(), other.gammas.end());
}

void replay(VeltoActorCritic& agent, const AgentCalls& calls) {
  std::vector<std::int32_t> features;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    features.assign(calls.features.begin() + static_cast<std::ptrdiff_t>(calls.offsets[i]),
                    calls.features.begin() + static_cast<std::ptrdiff_t>(calls.offsets[i + 1]));
    agent.step(features, calls.rewards[i], calls.gammas[i]);
  }
}

MemberProgress NativeMember::progress() const {
  MemberProgress progress;
  progress.task = task->state();
  progress.rng = rng.state();
  progress.taken = taken;
  progress.begun = begun;
  progress.next_episode = next_episode;
  progress.steps = steps;
  return progress;
}

void NativeMember::restore(const MemberProgress& progress) {
  task->set_state(progress.task);
  rng.set_state(progress.rng);
  taken = progress.taken;
  begun = progress.begun;
  next_episode = progress.next_episode;
  steps = progress.steps;
}

NativeLoop::NativeLoop(std::vector<NativeMember> members, NativeFeatures features,
                       NativeMapping mapping, LoopSettings settings)
    : members_(std::move(members)),
      records_(members_.size()),
      features_(std::move(features)),
      mapping_(std::move(mapping)),
      settings_(settings),
      feature_buffers_(members_.size()),
      stages_(members_.size(), Stage::ready),
      owner_process_(static_cast<long>(getpid())) {
  if (members_.empty()) {
    throw std::invalid_argument("the loop needs at least one member");
  }
  if (settings_.threads < 1) {
    throw std::invalid_argument("threads must be at least 1, not " +
                                std::to_string(settings_.threads));
  }
  if (settings_.unit_steps < 1) {
    throw std::invalid_argument("unit_steps must be at least 1");
  }
  for (std::size_t i = 0; i < members_.size(); ++i) {
    const NativeMember& member = members_[i];
    const std::string which = "member " + std::to_string(i) + ": ";
    if (!member.task) {
      throw std::invalid_argument(which + "has no task");
    }
    if (member.task->num_actions() != mapping_.num_actions()) {
      throw std::invalid_argument(which + "the task has " +
                                  std::to_string(member.task->num_actions()) +
                                  " actions, the mapping " +
                                  std::to_string(mapping_.num_actions()));
    }
    if (member.task->discrete_observation() != features_.is_one_hot() ||
        (!features_.is_one_hot() &&
         member.task->observation_size() != features_.num_dimensions())) {
      throw std::invalid_argument(which + "the features do not fit the task's observations");
    }
    if (member.agent.units.size() != static_cast<std::size_t>(mapping_.num_units())) {
      throw std::invalid_argument(which + "the agent has " +
                                  std::to_string(member.agent.units.size()) +
                                  " units, the mapping " + std::to_string(mapping_.num_units()));
    }
    if (member.agent.critic.weights.size() != static_cast<std::size_t>(features_.num_features())) {
      throw std::invalid_argument(which + "the agent has " +
                                  std::to_string(member.agent.critic.weights.size()) +
                                  " features, the feature map " +
                                  std::to_string(features_.num_features()));
    }
    if (!has_work(i)) {
      stages_[i] = Stage::done;
    }
  }
  if (settings_.threads > 1) {
    try {
      for (std::int32_t t = 0; t < settings_.threads; ++t) {
        workers_.emplace_back([this] { work(); });
      }
    } catch (...) {
      stop_workers();
      throw;
    }
  }
}

NativeLoop::~NativeLoop() {
  if (forked()) {
    // The parent's threads do not exist here; they may have held the lock or waited on the
    // condition variables when the process forked, and destroying those would wait for them for
    // ever. Both are left unfreed, with the threads' handles (destroying a joinable one ends the
    // process).
    static_cast<void>(sync_.release());
    static_cast<void>(new std::vector<std::thread>(std::move(workers_)));
    return;
  }
  stop_workers();
}

bool NativeLoop::forked() const {
  return static_cast<long>(getpid()) != owner_process_;
}

void NativeLoop::refuse_if_forked() const {
  if (forked()) {
    throw std::runtime_error(
        "this native run was started in process " + std::to_string(owner_process_) +
        " and cannot go on in a process forked from it: its threads do not exist here (start a"
        " new run in this process)");
  }
}

void NativeLoop::stop_workers() {
  {
    std::lock_guard<std::mutex> lock(sync_->mutex);
    stopping_.store(true, std::memory_order_relaxed);
  }
  sync_->work_ready.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) {
      worker.join();
    }
  }
  workers_.clear();
}

bool NativeLoop::has_work(std::size_t index) const {
  const NativeMember& member = members_[index];
  return !member.begun || member.next_episode < member.end_episode;
}

std::size_t NativeLoop::next_ready() const {
  // The member furthest behind goes first (ties by index): the members keep together, so that
  // the slowest one, whose count numbers the run checkpoints, moves on steadily, and one thread
  // runs the units in an order that depends on nothing but the members' progress.
  std::size_t best = stages_.size();
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    if (stages_[i] == Stage::ready &&
        (best == stages_.size() || members_[i].next_episode < members_[best].next_episode)) {
      best = i;
    }
  }
  return best;
}

bool NativeLoop::done() const {
  refuse_if_forked();
  std::lock_guard<std::mutex> lock(sync_->mutex);
  for (const Stage stage : stages_) {
    if (stage != Stage::done) {
      return false;
    }
  }
  return true;
}

void NativeLoop::cancel() {
  if (forked()) {
    return;  // nothing runs here, and the lock may be held by a thread that does not exist
  }
  stop_workers();
  std::lock_guard<std::mutex> lock(sync_->mutex);
  for (Stage& stage : stages_) {
    if (stage == Stage::running || stage == Stage::ready) {
      stage = Stage::done;
    }
  }
}

void NativeLoop::set_interrupt_check(std::function<bool()> check,
                                     std::chrono::nanoseconds interval) {
  interrupt_check_ = std::move(check);
  interrupt_interval_ = interval;
  next_interrupt_check_ = std::chrono::steady_clock::now() + interval;
}

bool NativeLoop::interrupt_requested() {
  if (!interrupted_ && interrupt_check_ && interrupt_check_()) {
    interrupted_ = true;
  }
  return interrupted_;
}

void NativeLoop::interrupt() {
  cancel();
  throw LoopInterrupted();
}

bool NativeLoop::stop_requested() {
  if (stopping_.load(std::memory_order_relaxed)) {
    return true;
  }
  if (settings_.threads != 1 || !interrupt_check_) {
    return false;
  }
  // One thread: the owner's own thread runs the unit, and asks its check between two steps once
  // the interval has passed (the clock read every 16 steps).
  if (steps_to_clock_ > 0) {
    --steps_to_clock_;
    return false;
  }
  steps_to_clock_ = 15;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_interrupt_check_) {
    return false;
  }
  next_interrupt_check_ = now + interrupt_interval_;
  return interrupt_requested();
}

std::vector<std::size_t> NativeLoop::take_finished() {
  refuse_if_forked();
  std::unique_lock<std::mutex> lock(sync_->mutex);
  if (settings_.threads == 1) {
    if (failure_ == nullptr && !stopping_.load(std::memory_order_relaxed) && !interrupted_) {
      const std::size_t index = next_ready();
      if (index < stages_.size()) {
        stages_[index] = Stage::running;
        lock.unlock();
        try {
          run_unit(index);
        } catch (...) {
          lock.lock();
          failure_ = std::current_exception();
          stages_[index] = Stage::done;
          std::rethrow_exception(failure_);
        }
        lock.lock();
        if (interrupted_) {
          // Stopped between two steps: the member is abandoned, never handed over half-done.
          stages_[index] = Stage::done;
          lock.unlock();
          interrupt();
        }
        stages_[index] = Stage::finished;
        finished_.push_back(index);
      }
    }
  } else {
    const auto ended = [this] {
      if (failure_ != nullptr || !finished_.empty()) {
        return true;
      }
      for (const Stage stage : stages_) {
        if (stage == Stage::ready || stage == Stage::running) {
          return false;
        }
      }
      return true;
    };
    if (!interrupt_check_) {
      sync_->unit_finished.wait(lock, ended);
    } else {
      while (!sync_->unit_finished.wait_for(lock, interrupt_interval_, ended)) {
        lock.unlock();
        if (interrupt_requested()) {
          interrupt();
        }
        lock.lock();
      }
    }
  }
  if (failure_ != nullptr) {
    const std::exception_ptr failure = failure_;
    lock.unlock();
    cancel();
    std::rethrow_exception(failure);
  }
  std::vector<std::size_t> taken(finished_.begin(), finished_.end());
  finished_.clear();
  return taken;
}

void NativeLoop::release(std::size_t index) {
  refuse_if_forked();
  {
    std::lock_guard<std::mutex> lock(sync_->mutex);
    if (stages_[index] != Stage::finished) {
      return;
    }
    stages_[index] = has_work(index) ? Stage::ready : Stage::done;
  }
  sync_->work_ready.notify_one();
}

void NativeLoop::work() {
  std::unique_lock<std::mutex> lock(sync_->mutex);
  while (true) {
    std::size_t index = stages_.size();
    sync_->work_ready.wait(lock, [this, &index] {
      if (stopping_.load(std::memory_order_relaxed) || failure_ != nullptr) {
        return true;
      }
      index = next_ready();
      return index < stages_.size();
    });
    if (stopping_.load(std::memory_order_relaxed) || failure_ != nullptr) {
      return;
    }
    stages_[index] = Stage::running;
    lock.unlock();
    std::exception_ptr failure;
    try {
      run_unit(index);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure != nullptr) {
      if (failure_ == nullptr) {
        failure_ = failure;
      }
      stages_[index] = Stage::done;
    } else if (stopping_.load(std::memory_order_relaxed)) {
      stages_[index] = Stage::done;
    } else {
      stages_[index] = Stage::finished;
      finished_.push_back(index);
    }
    sync_->unit_finished.notify_all();
  }
}

std::vector<std::int32_t> NativeLoop::agent_step(NativeMember& member,
                                                 const std::vector<std::int32_t>& features,
                                                 float reward, float gamma) const {
  if (settings_.record_agent_calls) {
    member.calls.append(features, reward, gamma);
  }
  return member.agent.step(features, reward, gamma);
}

void NativeLoop::begin(NativeMember& member) {
  member.task->reset(member.seed);
  member.begun = true;
  if (settings_.mode != LoopMode::learn) {
    return;
  }
  // A fresh agent meets its first state with discount 0; one that has done episodes before last
  // saw another episode's first state, and goes on from it with the usual discount.
  std::vector<std::int32_t>& features = feature_buffers_[&member - members_.data()];
  features_.active(member.task->observation(), member.task->observation_size(), features);
  member.taken =
      agent_step(member, features, 0.0f, member.next_episode == 0 ? 0.0f : settings_.gamma);
}

namespace {

std::int64_t thread_cpu_nanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

void NativeLoop::run_unit(std::size_t index) {
  if (!settings_.record_agent_calls) {
    run_episodes(index);
    return;
  }
  const std::int64_t started = thread_cpu_nanoseconds();
  run_episodes(index);
  members_[index].unit_nanoseconds += thread_cpu_nanoseconds() - started;
}

void NativeLoop::run_episodes(std::size_t index) {
  NativeMember& member = members_[index];
  if (!member.begun) {
    begin(member);
  }
  std::int64_t unit_steps = 0;
  while (member.next_episode < member.end_episode) {
    if (stop_requested()) {
      return;
    }
    EpisodeRecord record;
    record.agent = index;
    record.episode = member.next_episode;
    if (settings_.mode == LoopMode::learn) {
      learn_episode(member, record);
    } else {
      follow_episode(member, record);
    }
    if (record.length < 0) {
      return;  // stopped midway: the member is abandoned
    }
    member.steps += record.length;
    record.steps = member.steps;
    records_[index].push_back(record);
    ++member.next_episode;
    unit_steps += record.length;
    const std::int64_t every = settings_.checkpoint_every;
    if (unit_steps >= settings_.unit_steps || (every > 0 && member.next_episode % every == 0)) {
      return;
    }
  }
}

void NativeLoop::learn_episode(NativeMember& member, EpisodeRecord& record) {
  tasks::Task& task = *member.task;
  std::vector<std::int32_t>& features = feature_buffers_[&member - members_.data()];
  const float gamma = settings_.gamma;
  const std::size_t size = task.observation_size();
  double episode_return = 0.0;
  std::int64_t length = 0;
  while (true) {
    if (stop_requested()) {
      record.length = -1;
      return;
    }
    const tasks::Transition transition = task.step(mapping_.choose(member.taken, member.rng));
    ++length;
    episode_return += transition.reward;
    const float reward = static_cast<float>(transition.reward);
    if (transition.terminated) {
      task.reset(std::nullopt);
      features_.active(task.observation(), size, features);
      member.taken = agent_step(member, features, reward, 0.0f);
      break;
    }
    features_.active(task.observation(), size, features);
    if (transition.truncated) {
      // The bootstrap into the final state, then the next episode's first state.
      agent_step(member, features, reward, gamma);
      task.reset(std::nullopt);
      features_.active(task.observation(), size, features);
      member.taken = agent_step(member, features, 0.0f, gamma);
      break;
    }
    member.taken = agent_step(member, features, reward, gamma);
  }
  record.episode_return = episode_return;
  record.length = length;
}

void NativeLoop::follow_episode(NativeMember& member, EpisodeRecord& record) {
  tasks::Task& task = *member.task;
  std::vector<std::int32_t>& features = feature_buffers_[&member - members_.data()];
  std::vector<std::int32_t>& taken = member.taken;
  const std::size_t size = task.observation_size();
  double episode_return = 0.0;
  std::int64_t length = 0;
  while (true) {
    if (stop_requested()) {
      record.length = -1;
      return;
    }
    features_.active(task.observation(), size, features);
    const std::vector<float> probabilities = action_probabilities(member.agent, features);
    taken.clear();
    for (std::size_t unit = 0; unit < probabilities.size(); ++unit) {
      // The sampled policy compares in double against one draw per unit, all drawn first.
      const bool take = settings_.mode == LoopMode::greedy
                            ? probabilities[unit] > 0.5f
                            : static_cast<double>(probabilities[unit]) > member.rng.random();
      if (take) {
        taken.push_back(static_cast<std::int32_t>(unit));
      }
    }
    const tasks::Transition transition = task.step(mapping_.choose(taken, member.rng));
    ++length;
    episode_return += transition.reward;
    if (transition.terminated || transition.truncated) {
      task.reset(std::nullopt);
      break;
    }
  }
  record.episode_return = episode_return;
  record.length = length;
}

}  // namespace velto
