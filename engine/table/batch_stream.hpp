// Record batches handed out while the rows that make them are still being
// read: rows go into a builder of one batch at a time, typed as a schema
// settled beforehand, and each full batch goes to a queue that a consumer
// takes from through the Arrow C stream interface. Memory is that of the
// batches in flight, whatever the table's length.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/base/interrupt.hpp"
#include "engine/table/table_builder.hpp"
#include "engine/table/thread_pool.hpp"

namespace gleave::table {

// Rows a block holds at most, and the bytes after which it is closed
// early: about 2 MiB of text, fine enough that the last blocks, built after
// the pass has ended, take little time, and coarse enough that the batches
// are no more than polars' or pyarrow's own readers make.
// GLEAVE_TABLE_BLOCK_ROWS, when set to a positive number, replaces the row
// limit (and lifts the byte limit): tests make blocks of a few rows so that
// types are combined across many batches.
struct BlockLimits {
  std::size_t rows = 32768;
  std::size_t bytes = std::size_t{2} << 20;
  static BlockLimits from_environment();
};

// Builds rows into batches of `schema`, each handed to `emit` (a table of
// one batch) once it holds the limits' rows or bytes, in row order. The
// first `skip_rows` rows given (the header, which the schema named
// already) are dropped. The pass's thread only copies each row into a
// block; with `threads` above 1 whole blocks are built into batches by
// tasks on the shared thread pool while the pass reads on (and by the
// pass itself when they fall behind), at most `threads` blocks at a time,
// so that the reading and the building use two cores in bounded memory.
// Throws SchemaMisfit (a value the schema cannot hold), what `widen`
// throws, or std::bad_alloc, on the pass's thread, after the batches
// before the one at fault have been handed on.
class BatchMaker {
 public:
  using Emit = std::function<bool(ArrowTable&&)>;
  // Told, before a batch is built, that the schema had to be widened to
  // hold its values (see TableBuilder::widen_to_fit), with what changed.
  // It throws to end the stream there (a stream's schema is fixed); if it
  // does not, SchemaMisfit with what changed is thrown.
  using Widen = std::function<void(const TableBuilder::Schema&, const std::string&)>;
  BatchMaker(TableOptions options, TableBuilder::Schema schema, std::size_t skip_rows,
             BlockLimits limits, Emit emit, Widen widen = nullptr, unsigned threads = 1);
  BatchMaker(const BatchMaker&) = delete;
  BatchMaker& operator=(const BatchMaker&) = delete;
  // Stops the blocks not yet started and waits for those being built.
  ~BatchMaker();

  // False once `emit` said to stop.
  template <class ForEachField>
  bool append_row_with(ForEachField&& for_each, bool utf8 = false) {
    if (skip_ > 0) {
      --skip_;
      return true;
    }
    const std::size_t start = block_.bytes.size();
    const std::size_t first = block_.ends.size();
    for_each([&](std::string_view f) {
      block_.bytes.append(f);
      block_.ends.push_back(block_.bytes.size());
    });
    block_.rows.push_back(Row{start, first, block_.ends.size() - first, false, utf8});
    return added();
  }
  bool append_line(std::string_view line, unsigned char delimiter, bool ascii) {
    if (skip_ > 0) {
      --skip_;
      return true;
    }
    block_.delimiter = delimiter;
    block_.rows.push_back(Row{block_.bytes.size(), 0, line.size(), true, ascii});
    block_.bytes.append(line);
    return added();
  }
  // Builds and hands on the last rows; a table of no rows is one batch of
  // none. False when `emit` said to stop.
  bool finish();
  // The rows handed on.
  std::uint64_t rows() const noexcept { return rows_; }
  // After finish: whether the schema the batches were built with types
  // every column as the facts of every row would.
  bool schema_settles_every_row() const;

 private:
  // A row of the block: a line of its bytes (`start`, `size` bytes), or
  // `size` fields whose ends are ends[first...] and the first of which
  // starts at `start`.
  struct Row {
    std::size_t start;
    std::size_t first;
    std::size_t size;
    bool line;
    bool utf8;  // of a line: ASCII
  };
  struct Block {
    std::vector<Row> rows;
    std::string bytes;
    std::vector<std::size_t> ends;
    unsigned char delimiter = ',';
    std::uint64_t first_row = 0;  // the table's row number of its first row
  };
  // A block's batch, once built; or why it could not be.
  struct Built {
    bool done = false;
    std::optional<ArrowTable> batch;
    std::vector<TableBuilder::Facts> facts;
    std::optional<TableBuilder::Schema> wider;  // the schema, widened to hold its values
    std::string changed;
    std::exception_ptr failure;
  };
  struct Job {
    Block block;
    std::shared_ptr<Built> into;
  };

  bool added() {
    if (block_.rows.size() < limits_.rows && block_.bytes.size() < limits_.bytes) return true;
    return close_block();
  }
  bool close_block();
  // Builds `block` into `into` (on any thread); never throws.
  void build(const Block& block, Built& into) noexcept;
  // Takes the oldest waiting job and builds it; false when none waits.
  bool build_one();
  // Gives a built block back, emptied, to be filled again.
  void recycle(Block&& block);
  // Hands on the oldest result once built, building meanwhile; false when
  // `emit` said to stop. Throws as the class says.
  bool emit_front();

  TableOptions options_;  // the blocks': no header row, values kept
  TableBuilder::Schema schema_;
  std::size_t skip_;
  BlockLimits limits_;
  Emit emit_;
  Widen widen_;
  unsigned threads_;
  Block block_;
  std::uint64_t next_row_ = 0;                  // the row number of the next block's first row
  std::uint64_t rows_ = 0;                      // rows in the batches handed on
  std::vector<TableBuilder::Facts> seen_;       // of every row handed on
  std::deque<std::shared_ptr<Built>> results_;  // in row order

  std::mutex mutex_;
  std::condition_variable changed_;  // a job was built
  std::deque<Job> waiting_;
  std::vector<std::size_t> sizes_;  // the buffers of the last block built, which the next reserves
  // Built blocks, emptied, for the pass to fill again: their memory is
  // already the process's, where a new block would fault in fresh pages.
  std::vector<Block> spare_;
  bool stopping_ = false;
  // Declared last: destroyed (waited for) first, while the rest is whole.
  std::optional<TaskGroup> helpers_;
};

// Where a producer puts its batches: at most `capacity` wait to be taken.
class BatchQueue {
 public:
  explicit BatchQueue(std::size_t capacity = 2) : capacity_(capacity) {}
  // Waits while the queue is full. False once the consumer has gone: the
  // producer then stops.
  bool push(ArrowTable&& batch);
  // Asks the producer to stop (the consumer has gone).
  void stop();
  // The next batch; nothing at the end. `error` is set when the producer
  // ended with one.
  std::optional<ArrowTable> pop(std::string& error);
  // Ends the queue: after the batches waiting, the end (with `error` when
  // not empty).
  void close(std::string error);
  // Says stop once the consumer has gone: for the pass that produces.
  Interrupt& interrupt() noexcept { return interrupt_; }

 private:
  struct Gone final : Interrupt {
    explicit Gone(BatchQueue& q) : queue(q) {}
    bool requested() override;
    BatchQueue& queue;
  };

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<ArrowTable> batches_;
  std::size_t capacity_;
  bool stopped_ = false;
  bool closed_ = false;
  std::string error_;
  Gone interrupt_{*this};
};

// Fills the queue; returns the message of what went wrong, or nothing.
// Runs on a thread of its own and must not throw.
using Producer = std::function<std::optional<std::string>(BatchQueue&)>;

// A table of no rows that carries the schema's names and types: what a
// stream of its batches gives as its schema.
SharedTable schema_table(const TableBuilder::Schema& schema);

// A stream of the batches `produce` makes, with `schema` (a table whose
// names and types are the stream's; its rows are not streamed). The
// producer starts on its own thread at the first get_next; releasing the
// stream stops it and waits for it. Returns 0, or ENOMEM.
int export_produced_stream(SharedTable schema, Producer produce, ArrowArrayStream* out) noexcept;

}  // namespace gleave::table
