// Cost of one critic step and one actor-unit step per live trace and per active feature, beside
// the memory floor and the arithmetic floor of the same work, at several numbers of features.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "arithmetic_floor.hpp"
#include "scenario.hpp"

namespace velto_bench {
namespace {

struct Size {
  std::int32_t num_features;
  std::int32_t active;
};

// 32 active features keep a live set of about 1,400 traces; 2048 give about 90,000, whose lines in
// the eleven arrays outgrow the last-level cache.
constexpr Size kSizes[] = {{1000, 32},     {10000, 32},     {1000000, 32},
                           {10000000, 32}, {1000000, 2048}, {10000000, 2048}};

std::unique_ptr<Scenario<velto::Critic>> critic_scenario;
std::unique_ptr<Scenario<velto::ActorUnit>> unit_scenario;

template <typename Learner>
std::unique_ptr<Scenario<Learner>>& held_scenario();

template <>
std::unique_ptr<Scenario<velto::Critic>>& held_scenario<velto::Critic>() {
  return critic_scenario;
}

template <>
std::unique_ptr<Scenario<velto::ActorUnit>>& held_scenario<velto::ActorUnit>() {
  return unit_scenario;
}

// Builds a scenario once and reuses it for every benchmark and repetition of the same learner and
// size. Only one is kept at a time: at 1e7 features a learner takes almost 0.5 GB.
template <typename Learner>
Scenario<Learner>& prepared(Size size) {
  std::unique_ptr<Scenario<Learner>>& held = held_scenario<Learner>();
  if (!held || held->num_features != size.num_features || held->active != size.active) {
    critic_scenario.reset();
    unit_scenario.reset();
    held = std::make_unique<Scenario<Learner>>(size.num_features, size.active);
  }
  return *held;
}

void set_counters(benchmark::State& state, double live_total, std::int32_t active,
                  std::size_t warm_up_steps) {
  state.counters["live"] = benchmark::Counter(live_total, benchmark::Counter::kAvgIterations);
  state.counters["active"] = static_cast<double>(active);
  state.counters["warm_up_steps"] = static_cast<double>(warm_up_steps);
}

template <typename Learner>
void learner_step(benchmark::State& state, Size size) {
  Scenario<Learner>& scenario = prepared<Learner>(size);
  double live_total = 0.0;
  for (auto _ : state) {
    live_total += static_cast<double>(scenario.learner.trace_list.size());
    benchmark::DoNotOptimize(
        LearnerTraits<Learner>::step(scenario.learner, scenario.stream.next()));
  }
  set_counters(state, live_total, size.active, scenario.warm_up_steps);
}

template <typename Learner>
void memory_floor(benchmark::State& state, Size size) {
  Scenario<Learner>& scenario = prepared<Learner>(size);
  double live_total = 0.0;
  std::size_t position = 0;
  for (auto _ : state) {
    const RecordedStep& step = scenario.recording[position];
    live_total += static_cast<double>(step.swept.size());
    scenario.memory_floor.replay(step);
    position = position + 1 == scenario.recording.size() ? 0 : position + 1;
  }
  set_counters(state, live_total, size.active, scenario.warm_up_steps);
}

// As many sweep updates as the learner has live traces, and as many entry updates as it admits
// features, per step.
template <typename Learner>
void arithmetic_floor(benchmark::State& state, Size size) {
  Scenario<Learner>& scenario = prepared<Learner>(size);
  const auto traces = static_cast<std::size_t>(std::llround(scenario.mean_live()));
  const auto entries =
      static_cast<std::size_t>(std::llround(scenario.entered_fraction() * size.active));
  ArithmeticFloor floor;
  for (auto _ : state) {
    floor.run(traces, entries);
  }
  set_counters(state, static_cast<double>(traces) * static_cast<double>(state.iterations()),
               size.active, scenario.warm_up_steps);
}

template <typename Learner>
void register_learner(Size size) {
  const std::string suffix =
      "/" + std::to_string(size.num_features) + "/" + std::to_string(size.active);
  const std::string name = LearnerTraits<Learner>::name;
  benchmark::RegisterBenchmark((name + "/step" + suffix).c_str(), learner_step<Learner>, size)
      ->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark((name + "/memory_floor" + suffix).c_str(), memory_floor<Learner>,
                               size)
      ->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark((name + "/arithmetic_floor" + suffix).c_str(),
                               arithmetic_floor<Learner>, size)
      ->Unit(benchmark::kNanosecond);
}

}  // namespace
}  // namespace velto_bench

int main(int argc, char** argv) {
  for (const velto_bench::Size size : velto_bench::kSizes) {
    velto_bench::register_learner<velto::Critic>(size);
    velto_bench::register_learner<velto::ActorUnit>(size);
  }
#ifdef VELTO_FORCE_SCALAR
  benchmark::AddCustomContext("velto_core", "scalar");
#else
  benchmark::AddCustomContext("velto_core", "default");
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
