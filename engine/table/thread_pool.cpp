#include "engine/table/thread_pool.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

namespace gleave::table {

ThreadPool& ThreadPool::shared() {
  // Never destroyed: threads blocked in it at exit are simply ended, where
  // joining them could wait on a task of a table still being built.
  static ThreadPool* const pool =
      new ThreadPool(std::clamp(std::thread::hardware_concurrency(), 1u, 4u) - 1);
  return *pool;
}

ThreadPool::ThreadPool(unsigned threads) {
  for (unsigned t = 0; t < threads; ++t) {
    try {
      workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      break;  // fewer threads: the waiting threads run the rest
    }
  }
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& w : workers_) w.join();
}

void ThreadPool::work() {
  while (true) {
    Task task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task.run();
    task.group->finished();
  }
}

bool ThreadPool::take(TaskGroup* group, Task& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = std::find_if(queue_.begin(), queue_.end(),
                               [group](const Task& t) { return t.group == group; });
  if (it == queue_.end()) return false;
  out = std::move(*it);
  queue_.erase(it);
  return true;
}

void TaskGroup::run(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++pending_;
  }
  try {
    std::lock_guard<std::mutex> lock(pool_.mutex_);
    pool_.queue_.push_back({this, std::move(task)});
  } catch (...) {
    finished();
    throw;
  }
  pool_.wake_.notify_one();
}

void TaskGroup::finished() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--pending_ == 0) done_.notify_all();
}

void TaskGroup::wait() noexcept {
  ThreadPool::Task task;
  while (pool_.take(this, task)) {
    task.run();
    finished();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return pending_ == 0; });
}

}  // namespace gleave::table
