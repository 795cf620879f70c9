// What a population call pays to hand work to a second native thread: a round trip through the
// population's persistent worker pool (wake a sleeping worker, wait for it to finish), against
// starting and joining a thread per call. Both run a task that does nothing, so the times are the
// handing over alone. Wall time is what a caller waits; the CPU column is the calling thread's.
//
// cmake -S . -B build/bench -DVELTO_BUILD_BENCHMARKS=ON && cmake --build build/bench --target
// pool_benchmark && build/bench/benchmarks/cpp/pool_benchmark
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "kit/worker_pool.hpp"

namespace {

void BM_PoolRoundTrip(benchmark::State& state) {
  velto::WorkerPool pool(1);
  std::atomic<int> sink{0};
  for (auto _ : state) {
    pool.run(2, [&sink](std::size_t task) { sink += static_cast<int>(task); });
  }
  benchmark::DoNotOptimize(sink.load());
}
BENCHMARK(BM_PoolRoundTrip)->UseRealTime();

void BM_ThreadPerCall(benchmark::State& state) {
  std::atomic<int> sink{0};
  for (auto _ : state) {
    std::thread thread([&sink] { sink += 1; });
    thread.join();
  }
  benchmark::DoNotOptimize(sink.load());
}
BENCHMARK(BM_ThreadPerCall)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
