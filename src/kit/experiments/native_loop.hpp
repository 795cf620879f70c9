#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "kit/experiments/numpy_random.hpp"
#include "kit/experiments/tasks/task.hpp"
#include "kit/experiments/tile_coder.hpp"

namespace velto {

// The feature map of the kit's Python loops, for a task's observation: the tile coder that
// features_for builds for a Box (the observation read in C order, as Flattened reads it), or the
// one-hot code of a Discrete space (state start + i is feature i).
class NativeFeatures {
 public:
  static NativeFeatures tiles(const TileCoder& coder);
  // Throws std::invalid_argument when n is below 1.
  static NativeFeatures one_hot(std::int64_t n, std::int64_t start);

  std::int32_t num_features() const;
  bool is_one_hot() const { return !coder_.has_value(); }
  std::size_t num_dimensions() const;

  // The active features of an observation of `size` values into `out` (resized). Throws
  // std::invalid_argument for a NaN or a wrong size (tile coding) or a state outside the code
  // (one-hot), as the Python maps do.
  void active(const double* observation, std::size_t size, std::vector<std::int32_t>& out) const;

 private:
  std::optional<TileCoder> coder_;
  std::int64_t n_ = 0;
  std::int64_t start_ = 0;
};

// The kit's action mappings from the units an agent takes to one of `num_actions` actions, each
// drawing from the generator exactly what the Python mapping of the same name draws.
class NativeMapping {
 public:
  enum class Kind { binary, one_per_action, opposing };

  // Throws std::invalid_argument for an unknown name, fewer than 2 actions, or "opposing" for
  // other than 3.
  NativeMapping(const std::string& name, std::int32_t num_actions);

  std::int32_t num_actions() const { return num_actions_; }
  std::int32_t num_units() const { return num_units_; }
  // `taken` ascending, each in [0, num_units()).
  std::int32_t choose(const std::vector<std::int32_t>& taken, NumpyGenerator& rng) const;

 private:
  Kind kind_;
  std::int32_t num_actions_;
  std::int32_t num_units_;
};

// What the loop does with its agents: learn (each agent's own step), or follow the policy without
// changing anything, each unit taken with its probability (drawn from the mapping's generator) or,
// greedily, exactly when its probability exceeds one half.
enum class LoopMode { learn, sample, greedy };

struct EpisodeRecord {
  std::size_t agent = 0;
  std::int64_t episode = 0;
  double episode_return = 0.0;
  std::int64_t length = 0;
  std::int64_t steps = 0;  // the agent's steps over the run, this episode included
};

// The calls of an agent's step, in order: the features of call i are
// features[offsets[i] .. offsets[i + 1]), offsets starting at 0.
struct AgentCalls {
  std::vector<std::int32_t> features;
  std::vector<std::size_t> offsets{0};
  std::vector<float> rewards;
  std::vector<float> gammas;

  void append(const std::vector<std::int32_t>& step_features, float reward, float gamma);
  void append(const AgentCalls& other);
  std::size_t size() const { return rewards.size(); }
};

// Steps `agent` through `calls`: the agents' own share of a loop's work, without the loop.
void replay(VeltoActorCritic& agent, const AgentCalls& calls);

// Where one agent's loop stands between two episodes: with its agent, the whole of what it goes
// on from.
struct MemberProgress {
  tasks::TaskState task;
  Pcg64State rng;
  std::vector<std::int32_t> taken;  // the units the agent takes in its current state
  bool begun = false;               // the first state has been shown (the task reset)
  std::int64_t next_episode = 0;
  std::int64_t steps = 0;
};

// One agent's whole loop: its task, its generator, a private copy of its agent, its counters.
struct NativeMember {
  NativeMember(std::unique_ptr<tasks::Task> task_, NumpyGenerator rng_, VeltoActorCritic agent_)
      : task(std::move(task_)), rng(rng_), agent(std::move(agent_)) {}

  std::unique_ptr<tasks::Task> task;
  NumpyGenerator rng;
  VeltoActorCritic agent;
  Seed seed = 0;  // of the first reset of a run that has not begun
  std::vector<std::int32_t> taken;
  bool begun = false;
  std::int64_t next_episode = 0;
  std::int64_t end_episode = 0;
  std::int64_t steps = 0;
  // With LoopSettings::record_agent_calls: the agent's steps since the last hand-over, and the
  // CPU time its units took (thread CPU time, read once at each end of a unit).
  AgentCalls calls;
  std::int64_t unit_nanoseconds = 0;

  MemberProgress progress() const;
  // Throws std::invalid_argument when the task's state does not fit the task.
  void restore(const MemberProgress& progress);
};

struct LoopSettings {
  float gamma = 0.99f;
  LoopMode mode = LoopMode::learn;
  std::int32_t threads = 1;
  // A unit of work ends at the first episode end after this many steps of it, so that long runs
  // still hand over their episodes now and then.
  std::int64_t unit_steps = std::int64_t{1} << 16;
  // Each agent's units end after every episode whose number + 1 is a multiple of this (0: none),
  // so that the agent can be saved right there.
  std::int64_t checkpoint_every = 0;
  // Records every agent step (NativeMember::calls), so that replaying them tells the agents'
  // share of the loop's time.
  bool record_agent_calls = false;
};

// What take_finished throws when the owner's interrupt check asked it to stop: every unit has
// been stopped between two of its steps, and no member was handed over since.
class LoopInterrupted : public std::runtime_error {
 public:
  LoopInterrupted() : std::runtime_error("the native loop was interrupted") {}
};

// Runs each agent's episodes back to back, environment, features, mapping and agent in one
// native loop, on `threads` threads. A unit of work is one agent for a run of whole episodes;
// the agent's arrays stay hot in the core that steps it. Nothing here touches Python: a unit
// works on the member's own task, generator and private agent, and a finished unit waits, with
// its episodes, until the owner has taken them (take_finished) and released the member again.
//
// With one thread the units run on the caller's thread inside take_finished; with more, on
// threads of the loop's own, started by the constructor and joined by the destructor.
//
// A loop belongs to the process that made it. In a child forked from that process its threads
// do not exist and its lock and condition variables may be held or waited on by them for ever:
// there every call but has_work, member and records throws std::runtime_error without touching
// them, and the destructor leaves them (and the threads' handles) unfreed.
class NativeLoop {
 public:
  // Throws std::invalid_argument when `members` is empty, a member has no task, or the
  // mapping, features and agents do not fit together.
  NativeLoop(std::vector<NativeMember> members, NativeFeatures features, NativeMapping mapping,
             LoopSettings settings);
  ~NativeLoop();
  NativeLoop(const NativeLoop&) = delete;
  NativeLoop& operator=(const NativeLoop&) = delete;

  std::size_t size() const { return members_.size(); }
  const LoopSettings& settings() const { return settings_; }

  // Waits until at least one unit has finished and returns the members whose units finished (in
  // the order they did), each now owned by the caller until release(); an empty list when every
  // member is done. Rethrows the first failure of a unit, after stopping the others.
  std::vector<std::size_t> take_finished();
  // The member of a unit that take_finished returned (and not yet released): safe to read and
  // change from the owner's thread.
  NativeMember& member(std::size_t index) { return members_[index]; }
  std::vector<EpisodeRecord>& records(std::size_t index) { return records_[index]; }
  // Gives a taken member back to the workers (with its records read and cleared).
  void release(std::size_t index);
  // Whether a taken member has units left: once it has none, its state is the caller's to keep.
  bool has_work(std::size_t index) const;
  // Stops every unit at its next step; their members' states are abandoned, not handed over.
  void cancel();
  bool done() const;

  // Called on the owner's thread at least every `interval` while take_finished waits for units
  // or runs one itself (one thread: every few steps); when it returns true, take_finished stops
  // every unit between two of its steps, abandons their members and throws LoopInterrupted. It
  // is never called with the loop's lock held.
  void set_interrupt_check(std::function<bool()> check, std::chrono::nanoseconds interval);
  // Whether this process is a child forked from the one that made the loop.
  bool forked() const;

 private:
  enum class Stage : std::uint8_t { ready, running, finished, done };

  void run_unit(std::size_t index);
  void run_episodes(std::size_t index);
  void learn_episode(NativeMember& member, EpisodeRecord& record);
  void follow_episode(NativeMember& member, EpisodeRecord& record);
  void begin(NativeMember& member);
  std::vector<std::int32_t> agent_step(NativeMember& member,
                                       const std::vector<std::int32_t>& features, float reward,
                                       float gamma) const;
  void work();
  // Under the lock: the ready member to run next, or size() when none is ready.
  std::size_t next_ready() const;
  void stop_workers();
  // Checked between every two steps of a unit: whether to stop it (the member is then
  // abandoned). With one thread it also asks the interrupt check, now and then.
  bool stop_requested();
  bool interrupt_requested();
  void refuse_if_forked() const;
  // Stops every unit (as cancel) and throws LoopInterrupted.
  [[noreturn]] void interrupt();

  std::vector<NativeMember> members_;
  std::vector<std::vector<EpisodeRecord>> records_;
  NativeFeatures features_;
  NativeMapping mapping_;
  LoopSettings settings_;
  // Scratch per thread would be cleaner, but one unit runs on one thread at a time: each member
  // keeps its own feature buffer.
  std::vector<std::vector<std::int32_t>> feature_buffers_;

  // On the heap, so that a forked child can leave them as they are: a condition variable that
  // the parent's threads waited on cannot be destroyed where those threads do not exist.
  struct Sync {
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable unit_finished;
  };
  std::unique_ptr<Sync> sync_ = std::make_unique<Sync>();
  std::vector<Stage> stages_;
  std::deque<std::size_t> finished_;
  std::exception_ptr failure_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> workers_;
  long owner_process_;
  // The owner's interrupt check; with one thread, the steps until its clock is read again and
  // when the check is due (both touched by the owner's thread only).
  std::function<bool()> interrupt_check_;
  std::chrono::nanoseconds interrupt_interval_{0};
  std::chrono::steady_clock::time_point next_interrupt_check_{};
  std::uint32_t steps_to_clock_ = 0;
  bool interrupted_ = false;
};

}  // namespace velto
