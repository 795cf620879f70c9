#include "kit/worker_pool.hpp"

#include <unistd.h>

#include <stdexcept>

namespace velto {

WorkerPool::WorkerPool(std::size_t workers) : errors_(workers + 1), owner_process_(getpid()) {
  threads_.reserve(workers);
  try {
    for (std::size_t w = 0; w < workers; ++w) {
      threads_.emplace_back([this, w] { work(w); });
    }
  } catch (...) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    started_.notify_all();
    for (std::thread& thread : threads_) {
      thread.join();
    }
    throw;
  }
}

WorkerPool::~WorkerPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  started_.notify_all();
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

bool WorkerPool::abandoned_by_fork() const {
  return getpid() != owner_process_;
}

void WorkerPool::run(std::size_t tasks, const std::function<void(std::size_t)>& task) {
  if (tasks > threads_.size() + 1) {
    throw std::invalid_argument("more tasks than threads");
  }
  if (abandoned_by_fork()) {
    throw std::logic_error("the worker threads do not exist in this forked process");
  }
  for (std::exception_ptr& error : errors_) {
    error = nullptr;
  }
  if (tasks > 1) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      task_ = &task;
      tasks_ = tasks;
      unfinished_ = tasks - 1;
      ++generation_;
    }
    // Workers without a task this time wake too, see none and sleep again; a pool has only as
    // many workers as its owner can give tasks to.
    started_.notify_all();
  }
  if (tasks > 0) {
    try {
      task(0);
    } catch (...) {
      errors_[0] = std::current_exception();
    }
  }
  if (tasks > 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return unfinished_ == 0; });
    task_ = nullptr;
  }
  for (const std::exception_ptr& error : errors_) {
    if (error) {
      std::rethrow_exception(error);
    }
  }
}

void WorkerPool::work(std::size_t worker) {
  std::uint64_t seen = 0;
  const std::size_t number = worker + 1;
  for (;;) {
    const std::function<void(std::size_t)>* task = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      started_.wait(lock, [this, seen] { return stopping_ || generation_ != seen; });
      if (stopping_) {
        return;
      }
      seen = generation_;
      if (number < tasks_) {
        task = task_;
      }
    }
    if (task == nullptr) {
      continue;
    }
    try {
      (*task)(number);
    } catch (...) {
      errors_[number] = std::current_exception();
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      --unfinished_;
    }
    finished_.notify_one();
  }
}

}  // namespace velto
