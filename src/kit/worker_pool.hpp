#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velto {

// A fixed set of native threads that run the numbered tasks of one call together with the
// calling thread: task 0 on the caller, task t on worker t - 1. Kept for the life of its owner,
// because starting threads for every call would cost more than stepping a few dozen agents.
// The workers never touch Python; between calls they sleep on a condition variable.
class WorkerPool {
 public:
  // Starts `workers` threads; throws std::system_error (nothing left running) when one cannot be
  // started.
  explicit WorkerPool(std::size_t workers);
  // Stops and joins every worker. Within a child of fork(), where the workers do not exist, the
  // owner abandons the pool instead (see abandoned_by_fork).
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t workers() const { return threads_.size(); }

  // True in a child process forked after the pool was started: its threads were not copied,
  // so the pool can neither run tasks nor be joined.
  bool abandoned_by_fork() const;

  // Runs task(0) .. task(tasks - 1), at most workers() + 1 of them, and returns once all have
  // finished. An exception a task lets escape is carried here and rethrown (the first by task
  // number) after every task has finished.
  void run(std::size_t tasks, const std::function<void(std::size_t)>& task);

 private:
  void work(std::size_t worker);

  std::mutex mutex_;
  std::condition_variable started_;
  std::condition_variable finished_;
  std::uint64_t generation_ = 0;
  std::size_t unfinished_ = 0;
  std::size_t tasks_ = 0;
  bool stopping_ = false;
  const std::function<void(std::size_t)>* task_ = nullptr;
  std::vector<std::exception_ptr> errors_;
  std::vector<std::thread> threads_;
  long owner_process_;
};

}  // namespace velto
