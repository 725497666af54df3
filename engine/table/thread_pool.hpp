// One pool of threads for every table the process builds: two tables built
// at once share its threads instead of each starting its own and fighting
// over the cores. Work is handed to it as a group of tasks; waiting on the
// group runs on the waiting thread every task no pool thread has taken yet,
// so a busy pool (or one lost across fork()) slows work down and never
// stalls it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace gleave::table {

class TaskGroup;

class ThreadPool {
 public:
  // The process's pool: one thread fewer than the cores (the caller of a
  // build works too), at most three; started at first use, never stopped.
  static ThreadPool& shared();
  explicit ThreadPool(unsigned threads);
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ~ThreadPool();

  // The pool's threads (which may be fewer than asked when the system
  // refused some).
  unsigned size() const noexcept { return static_cast<unsigned>(workers_.size()); }

 private:
  friend class TaskGroup;
  struct Task {
    TaskGroup* group;
    std::function<void()> run;
  };
  void work();
  // Takes a task of `group` no thread has taken yet; false when none is left.
  bool take(TaskGroup* group, Task& out);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// Tasks that belong together: run() hands one to the pool, wait() returns
// once all have run. Tasks must not throw.
class TaskGroup {
 public:
  explicit TaskGroup(ThreadPool& pool = ThreadPool::shared()) : pool_(pool) {}
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  ~TaskGroup() { wait(); }

  // Throws std::bad_alloc (the task then does not run).
  void run(std::function<void()> task);
  void wait() noexcept;

 private:
  friend class ThreadPool;
  void finished() noexcept;

  ThreadPool& pool_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::size_t pending_ = 0;  // handed in and not yet finished
};

}  // namespace gleave::table
