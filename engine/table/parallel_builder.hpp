// A table built on several threads while the rows still come in: the
// caller's thread (the repair pass) only notes each kept row in a block of
// rows, and whole blocks are built, each into a TableBuilder of its own,
// by tasks on the shared thread pool and, when they fall behind, by the
// caller itself. At
// the end the blocks' column types are combined and every block becomes one
// record batch of the table (TableBuilder::finish_ranges).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/table/table_builder.hpp"
#include "engine/table/thread_pool.hpp"

namespace gleave::table {

// Rows a block holds at most, and the bytes after which it is closed
// early: about 2 MiB of text, fine enough that the last blocks, built after
// the pass has ended, take little time, and coarse enough that the batches
// are no more than polars' or pyarrow's own readers make.
// GLEAVE_TABLE_BLOCK_ROWS, when set to a positive number, replaces the row
// limit (and lifts the byte limit): tests make blocks of a few rows so that
// types are combined across many ranges.
struct BlockLimits {
  std::size_t rows = 32768;
  std::size_t bytes = std::size_t{2} << 20;
  static BlockLimits from_environment();
};

class ParallelTableBuilder {
 public:
  // `threads`: the threads that build, the caller's included (1: the
  // caller builds every block itself, on the way).
  ParallelTableBuilder(TableOptions options, unsigned threads,
                       BlockLimits limits = BlockLimits::from_environment());
  ParallelTableBuilder(const ParallelTableBuilder&) = delete;
  ParallelTableBuilder& operator=(const ParallelTableBuilder&) = delete;
  // Stops the helpers (after the block each is building) and waits for them.
  ~ParallelTableBuilder();

  // A row of fields: their bytes are copied.
  template <class ForEachField>
  void append_row_with(ForEachField&& for_each, bool utf8 = false) {
    if (header_left_ > 0) {
      --header_left_;
      head_.append_row_with(for_each, utf8);
      return;
    }
    const std::size_t first = block_.ends.size();
    const std::size_t before = block_.bytes.size();
    for_each([&](std::string_view f) {
      block_.bytes.append(f);
      block_.ends.push_back(block_.bytes.size());
    });
    block_bytes_ += block_.bytes.size() - before;
    push_entry(Entry{first, static_cast<std::uint32_t>(block_.ends.size() - first), false, utf8});
  }
  // A row that is a line of the text, split at the delimiter (see
  // TableBuilder::append_line). Only the line's place is noted: its bytes
  // must stay where they are until wait() has returned.
  void append_line(std::string_view line, unsigned char delimiter, bool ascii) {
    if (header_left_ > 0) {
      --header_left_;
      head_.append_line(line, delimiter, ascii);
      return;
    }
    delimiter_ = delimiter;
    block_.delimiter = delimiter;
    if (block_.low == nullptr) block_.low = line.data();
    last_line_ = line.data();
    if (line.size() > UINT32_MAX) [[unlikely]] {
      append_long_line(line, ascii);
      return;
    }
    block_bytes_ += line.size();
    push_entry(Entry{reinterpret_cast<std::uintptr_t>(line.data()),
                     static_cast<std::uint32_t>(line.size()), true, ascii});
  }

  // Called (on the caller's thread, as blocks are closed) with an address
  // in the text below which no line given to append_line is read again:
  // every line before it is built, and the rows handed in come in text
  // order. Lets the caller give that part of the text back while the rest
  // is still being read.
  void on_text_done(std::function<void(const char*)> done) { text_done_ = std::move(done); }

  // Builds every block still waiting (helping the helpers); afterwards no
  // line given to append_line is read again. Rethrows what a helper threw.
  void wait();
  // The table (waits first). The builder is left empty.
  ArrowTable finish();

 private:
  // A kept row in sixteen bytes: a line of the text (`where` its address,
  // `size` its bytes), or fields copied into the block (`size` of them from
  // ends[where]).
  struct Entry {
    std::uintptr_t where;
    std::uint32_t size;
    bool line;
    bool utf8;  // of a line: ASCII
  };
  struct Block {
    std::vector<Entry> rows;
    std::string bytes;
    std::vector<std::size_t> ends;
    bool full = false;              // closed at a limit, not at the end of the rows
    const char* low = nullptr;      // its first line
    unsigned char delimiter = ',';  // between the fields of its lines
  };
  struct Job {
    Block block;
    TableBuilder* into = nullptr;
    std::size_t seq = 0;
  };

  void push_entry(const Entry& e) {
    block_.rows.push_back(e);
    if (block_.rows.size() >= limits_.rows || block_bytes_ >= limits_.bytes) {
      block_.full = true;
      close_block();
    }
  }
  void close_block();
  // A line too long for an entry: its fields are copied, as a row's are.
  void append_long_line(std::string_view line, bool ascii);
  void build(Block& block, TableBuilder& into);
  // Takes the oldest waiting job and builds it; false when none waits.
  bool build_one();
  void helper() noexcept;

  TableOptions options_;           // the blocks': no header row
  TableBuilder head_;              // the header row, the options, and the names
  std::size_t header_left_;        // header rows still to come (a header may span several)
  unsigned char delimiter_ = ',';  // the caller's copy (long lines)
  BlockLimits limits_;
  Block block_;
  std::size_t block_bytes_ = 0;
  std::size_t max_waiting_;
  unsigned threads_;

  // The blocks' builders, in row order; each is filled by one thread.
  std::vector<std::unique_ptr<TableBuilder>> ranges_;
  std::mutex mutex_;
  std::condition_variable done_;  // a job was built
  std::deque<Job> waiting_;
  // Built blocks, emptied, for the pass to fill again: their memory is
  // already the process's, where a new block would fault in fresh pages.
  std::vector<Block> spare_;
  std::size_t building_ = 0;
  bool stopping_ = false;
  std::exception_ptr failure_;
  unsigned helping_ = 0;  // pool tasks building blocks now
  // Declared last: destroyed (waited for) first, while the rest is whole.
  TaskGroup helpers_;
  // The first line of every block closed, whether it is built, and the
  // oldest not known to be: what the text is still needed for.
  std::vector<const char*> lows_;
  std::vector<bool> built_;
  std::size_t oldest_ = 0;
  const char* last_line_ = nullptr;  // the latest line handed in
  std::function<void(const char*)> text_done_;
  // The buffer sizes of the last block built, which the next reserves.
  std::vector<std::size_t> sizes_;
};

}  // namespace gleave::table
