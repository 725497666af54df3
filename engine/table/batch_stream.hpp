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
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/base/interrupt.hpp"
#include "engine/table/parallel_builder.hpp"
#include "engine/table/table_builder.hpp"

namespace gleave::table {

// Builds rows into batches of `schema`, each handed to `emit` (a table of
// one batch) once it holds the limits' rows or bytes. The first
// `skip_rows` rows given (the header, which the schema named already) are
// dropped. Throws SchemaMisfit (a value the schema cannot hold) or
// std::bad_alloc.
class BatchMaker {
 public:
  using Emit = std::function<bool(ArrowTable&&)>;
  // Told, before a batch is built, that the schema had to be widened to
  // hold its values (see TableBuilder::widen_to_fit), with what changed.
  // It may throw to end the stream there; else the batch is built with
  // the widened schema, and so are the next ones.
  using Widen = std::function<void(const TableBuilder::Schema&, const std::string&)>;
  BatchMaker(TableOptions options, TableBuilder::Schema schema, std::size_t skip_rows,
             BlockLimits limits, Emit emit, Widen widen = nullptr);

  // False once `emit` said to stop.
  template <class ForEachField>
  bool append_row_with(ForEachField&& for_each, bool utf8 = false) {
    if (skip_ > 0) {
      --skip_;
      return true;
    }
    std::size_t bytes = 0;
    builder_.append_row_with(
        [&](auto&& visit) {
          for_each([&](std::string_view f) {
            bytes += f.size();
            visit(f);
          });
        },
        utf8);
    return added(bytes);
  }
  bool append_line(std::string_view line, unsigned char delimiter, bool ascii) {
    if (skip_ > 0) {
      --skip_;
      return true;
    }
    builder_.append_line(line, delimiter, ascii);
    return added(line.size());
  }
  // Hands on the last rows; a table of no rows is one batch of none.
  // False when `emit` said to stop.
  bool finish() { return (builder_.num_rows() == 0 && rows_ != 0) || flush(); }
  std::uint64_t rows() const noexcept { return rows_ + builder_.num_rows(); }
  // After finish: whether the schema the batches were built with types
  // every column as the facts of every row would.
  bool schema_settles_every_row() const { return builder_.settles(schema_, seen_); }

 private:
  bool added(std::size_t bytes) {
    bytes_ += bytes;
    if (builder_.num_rows() < limits_.rows && bytes_ < limits_.bytes) return true;
    return flush();
  }
  bool flush();

  TableBuilder::Schema schema_;
  TableBuilder builder_;
  std::size_t skip_;
  BlockLimits limits_;
  Emit emit_;
  Widen widen_;
  std::vector<TableBuilder::Facts> seen_;  // of every row handed on
  std::size_t bytes_ = 0;
  std::uint64_t rows_ = 0;  // rows in the batches handed on
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
