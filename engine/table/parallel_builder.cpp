#include "engine/table/parallel_builder.hpp"

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "engine/scan/text.hpp"

namespace gleave::table {

BlockLimits BlockLimits::from_environment() {
  BlockLimits limits;
  if (const char* v = std::getenv("GLEAVE_TABLE_BLOCK_ROWS")) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v, &end, 10);
    if (end != v && *end == '\0' && n > 0) {
      limits.rows = static_cast<std::size_t>(n);
      limits.bytes = SIZE_MAX;
    }
  }
  return limits;
}

namespace {
TableOptions without_header(TableOptions o) {
  o.header = false;
  return o;
}
}  // namespace

ParallelTableBuilder::ParallelTableBuilder(TableOptions options, unsigned threads,
                                           BlockLimits limits)
    : options_(without_header(options)),
      head_(options),
      header_left_(options.header ? std::max<std::size_t>(options.header_rows, 1) : 0),
      limits_(limits),
      threads_(std::max(threads, 1u)) {
  limits_.rows = std::max<std::size_t>(limits_.rows, 1);
  // Blocks waiting beyond this are built by the caller instead of piling
  // up: the pass is faster than a builder, and each waiting block holds
  // its rows' places (and copied fields).
  max_waiting_ = threads_;
}

ParallelTableBuilder::~ParallelTableBuilder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    waiting_.clear();
  }
  helpers_.wait();
}

void ParallelTableBuilder::build(Block& block, TableBuilder& into) {
  std::vector<std::size_t> sizes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sizes = sizes_;
  }
  // A full block is much like the last one: its buffers are reserved at
  // that size rather than grown (and copied) to it step by step.
  into.reserve_like(sizes);
  const char* const bytes = block.bytes.data();
  for (const Entry& e : block.rows) {
    if (e.line) {
      into.append_line(std::string_view(reinterpret_cast<const char*>(e.where), e.size),
                       block.delimiter, e.utf8);
      continue;
    }
    into.append_row_with(
        [&](auto&& visit) {
          const std::size_t first = e.where;
          std::size_t at = first == 0 ? 0 : block.ends[first - 1];
          for (std::size_t k = first; k < first + e.size; ++k) {
            visit(std::string_view(bytes + at, block.ends[k] - at));
            at = block.ends[k];
          }
        },
        e.utf8);
  }
  if (block.full) {
    std::vector<std::size_t> built = into.buffer_sizes();
    std::lock_guard<std::mutex> lock(mutex_);
    sizes_ = std::move(built);
  }
}

void ParallelTableBuilder::append_long_line(std::string_view line, bool ascii) {
  // Fields of a line of valid UTF-8 are valid UTF-8: the delimiter is ASCII.
  const bool utf8 = ascii || valid_utf8_prefix(line.data(), line.size()) == line.size();
  append_row_with(
      [&](auto&& visit) {
        std::size_t from = 0;
        for (std::size_t at; (at = line.find(static_cast<char>(delimiter_), from)) != line.npos;
             from = at + 1)
          visit(line.substr(from, at - from));
        visit(line.substr(from));
      },
      utf8);
}

void ParallelTableBuilder::close_block() {
  if (block_.rows.empty()) return;
  Job job{std::move(block_), nullptr, 0};
  block_ = Block();
  block_bytes_ = 0;
  auto range = std::make_unique<TableBuilder>(options_);
  job.into = range.get();
  bool build_here = false;
  bool start_helper = false;
  const char* needed = last_line_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
    job.seq = lows_.size();
    lows_.push_back(job.block.low);
    built_.push_back(false);
    ranges_.push_back(std::move(range));
    waiting_.push_back(std::move(job));
    while (oldest_ < built_.size() && built_[oldest_]) ++oldest_;
    // Lines only grow in address: the oldest unbuilt block with one holds
    // the lowest still needed.
    for (std::size_t k = oldest_; k < lows_.size(); ++k) {
      if (lows_[k] != nullptr) {
        needed = lows_[k];
        break;
      }
    }
    // Pool tasks build while there are blocks; up to threads - 1 of them
    // at once, the caller being the last.
    build_here = threads_ == 1 || waiting_.size() > max_waiting_;
    if (!build_here && helping_ + 1 < threads_) {
      ++helping_;
      start_helper = true;
    }
    if (!spare_.empty()) {
      block_ = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  if (block_.rows.capacity() == 0) block_.rows.reserve(std::min<std::size_t>(limits_.rows, 32768));
  if (text_done_ && needed != nullptr) text_done_(needed);
  if (start_helper) {
    try {
      helpers_.run([this] { helper(); });
    } catch (const std::bad_alloc&) {
      std::lock_guard<std::mutex> lock(mutex_);
      --helping_;  // the caller builds it, now or at the end
    }
  }
  if (build_here) build_one();
}

bool ParallelTableBuilder::build_one() {
  Job job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.empty() || failure_) return false;
    job = std::move(waiting_.front());
    waiting_.pop_front();
    ++building_;
  }
  try {
    build(job.block, *job.into);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_) failure_ = std::current_exception();
  }
  job.block.rows.clear();
  job.block.bytes.clear();
  job.block.ends.clear();
  job.block.full = false;
  job.block.low = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --building_;
    built_[job.seq] = true;
    if (spare_.size() < max_waiting_ + threads_) spare_.push_back(std::move(job.block));
  }
  done_.notify_all();
  return true;
}

void ParallelTableBuilder::helper() noexcept {
  while (true) {
    {
      // Stops when nothing waits, under the lock close_block counts the
      // tasks under: a block closed after this starts a task of its own.
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ || failure_ || waiting_.empty()) {
        --helping_;
        return;
      }
    }
    build_one();
  }
}

void ParallelTableBuilder::wait() {
  close_block();
  while (build_one()) {
  }
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return building_ == 0 && (waiting_.empty() || failure_); });
  if (failure_) std::rethrow_exception(failure_);
}

ArrowTable ParallelTableBuilder::finish() {
  wait();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    spare_.clear();
  }
  block_ = Block();
  helpers_.wait();
  std::vector<TableBuilder*> ranges;
  ranges.reserve(ranges_.size() + 1);
  ranges.push_back(&head_);
  for (auto& r : ranges_) ranges.push_back(r.get());
  ArrowTable table = TableBuilder::finish_ranges(ranges, threads_);
  ranges_.clear();
  return table;
}

}  // namespace gleave::table
