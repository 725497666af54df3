#include "engine/table/batch_stream.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
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

BatchMaker::BatchMaker(TableOptions options, TableBuilder::Schema schema, std::size_t skip_rows,
                       BlockLimits limits, Emit emit, Widen widen, unsigned threads)
    : options_([&] {
        options.header = false;
        options.keep_values = true;
        return options;
      }()),
      schema_(std::move(schema)),
      skip_(skip_rows),
      limits_(limits),
      emit_(std::move(emit)),
      widen_(std::move(widen)),
      threads_(std::max(threads, 1u)) {
  limits_.rows = std::max<std::size_t>(limits_.rows, 1);
  if (threads_ > 1) helpers_.emplace();
}

BatchMaker::~BatchMaker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    waiting_.clear();
  }
  if (helpers_) helpers_->wait();
}

void BatchMaker::build(const Block& block, Built& into) noexcept {
  try {
    std::vector<std::size_t> sizes;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sizes = sizes_;
    }
    // The next block is much like the last: its buffers are reserved at
    // that size rather than grown to it.
    const char* const bytes = block.bytes.data();
    // Lines of a block that is valid UTF-8 as a whole, each starting on a
    // character, are valid UTF-8: one check of the block spares one a line.
    bool lines_utf8 = valid_utf8_prefix(bytes, block.bytes.size()) == block.bytes.size();
    for (std::size_t r = 0; lines_utf8 && r < block.rows.size(); ++r) {
      const Row& row = block.rows[r];
      const auto first = static_cast<unsigned char>(row.size == 0 ? 0 : bytes[row.start]);
      lines_utf8 = !row.line || (first & 0xC0) != 0x80;
    }
    auto fill = [&](TableBuilder& builder) {
      builder.reserve_like(sizes);
      for (const Row& row : block.rows) {
        if (row.line) {
          builder.append_line(std::string_view(bytes + row.start, row.size), block.delimiter,
                              row.utf8 || lines_utf8);
          continue;
        }
        builder.append_row_with(
            [&](auto&& visit) {
              std::size_t at = row.start;
              for (std::size_t i = row.first; i < row.first + row.size; ++i) {
                visit(std::string_view(bytes + at, block.ends[i] - at));
                at = block.ends[i];
              }
            },
            row.utf8);
      }
    };
    // Values are converted as they come, into the schema's types; a block
    // holding one that is not of its column's type is taken again keeping
    // every text, for the widening and the messages that name it.
    TableBuilder builder(options_);
    builder.set_targets(schema_);
    fill(builder);
    if (builder.misfit()) {
      builder = TableBuilder(options_);
      fill(builder);
    }
    builder.add_facts(into.facts);
    if (widen_) {
      TableBuilder::Schema wider = schema_;
      into.changed = builder.widen_to_fit(wider, block.first_row);
      if (!into.changed.empty()) {
        into.wider = std::move(wider);
        return;
      }
    }
    sizes = builder.buffer_sizes();
    into.batch = builder.finish_batch(schema_, block.first_row);
    std::lock_guard<std::mutex> lock(mutex_);
    sizes_ = std::move(sizes);
  } catch (...) {
    into.failure = std::current_exception();
  }
}

bool BatchMaker::build_one() {
  Job job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.empty() || stopping_) return false;
    job = std::move(waiting_.front());
    waiting_.pop_front();
  }
  build(job.block, *job.into);
  recycle(std::move(job.block));
  std::lock_guard<std::mutex> lock(mutex_);
  job.into->done = true;
  changed_.notify_all();
  return true;
}

void BatchMaker::recycle(Block&& block) {
  block.rows.clear();
  block.bytes.clear();
  block.ends.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  if (spare_.size() < threads_) spare_.push_back(std::move(block));
}

bool BatchMaker::close_block() {
  Block block = std::move(block_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) {
      block_ = Block{};
    } else {
      block_ = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  block.first_row = next_row_;
  next_row_ += block.rows.size();
  auto built = std::make_shared<Built>();
  results_.push_back(built);
  if (threads_ == 1) {
    build(block, *built);
    recycle(std::move(block));
    built->done = true;
  } else {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting_.push_back(Job{std::move(block), built});
    }
    helpers_->run([this] { build_one(); });
  }
  // At most `threads` blocks are in flight: the pass is faster than a
  // builder, and each holds its rows' bytes.
  while (!results_.empty() && (results_.size() >= threads_ || results_.front()->done)) {
    if (!emit_front()) return false;
  }
  return true;
}

bool BatchMaker::emit_front() {
  std::shared_ptr<Built> front = results_.front();
  while (true) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (front->done) break;
      if (waiting_.empty()) {
        changed_.wait(lock, [&] { return front->done; });
        break;
      }
    }
    build_one();  // behind: the pass builds the oldest waiting block itself
  }
  results_.pop_front();
  if (front->failure) std::rethrow_exception(front->failure);
  if (front->wider) {
    widen_(*front->wider, front->changed);
    throw SchemaMisfit(front->changed);
  }
  if (seen_.size() < front->facts.size()) seen_.resize(front->facts.size());
  for (std::size_t i = 0; i < front->facts.size(); ++i) seen_[i].add(front->facts[i]);
  rows_ += static_cast<std::uint64_t>(front->batch->num_rows());
  return emit_(std::move(*front->batch));
}

bool BatchMaker::finish() {
  // A table of no rows is one batch of none.
  if (!block_.rows.empty() || (next_row_ == 0 && results_.empty())) {
    if (!close_block()) return false;
  }
  while (!results_.empty()) {
    if (!emit_front()) return false;
  }
  return true;
}

bool BatchMaker::schema_settles_every_row() const {
  return TableBuilder(options_).settles(schema_, seen_);
}

bool BatchQueue::push(ArrowTable&& batch) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return stopped_ || batches_.size() < capacity_; });
  if (stopped_) return false;
  batches_.push_back(std::move(batch));
  changed_.notify_all();
  return true;
}

void BatchQueue::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  batches_.clear();
  changed_.notify_all();
}

std::optional<ArrowTable> BatchQueue::pop(std::string& error) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !batches_.empty() || closed_; });
  if (batches_.empty()) {
    error = error_;
    return std::nullopt;
  }
  ArrowTable out = std::move(batches_.front());
  batches_.pop_front();
  changed_.notify_all();
  return out;
}

void BatchQueue::close(std::string error) {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  error_ = std::move(error);
  changed_.notify_all();
}

bool BatchQueue::Gone::requested() {
  std::lock_guard<std::mutex> lock(queue.mutex_);
  return queue.stopped_;
}

namespace {

struct ProducedStream {
  SharedTable schema;
  Producer produce;
  BatchQueue queue{2};
  std::thread thread;
  bool started = false;
  bool ended = false;
  std::string error;  // the last error, as get_last_error gives it

  ~ProducedStream() {
    queue.stop();
    if (thread.joinable()) thread.join();
  }
};

ProducedStream& of(ArrowArrayStream* stream) {
  return *static_cast<ProducedStream*>(stream->private_data);
}

int produced_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  const int rc = of(stream).schema->export_schema(out);
  if (rc != 0) of(stream).error = "out of memory";
  return rc;
}

int produced_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  ProducedStream& s = of(stream);
  if (!s.started) {
    s.started = true;
    try {
      s.thread = std::thread([&s] {
        std::optional<std::string> failed;
        try {
          failed = s.produce(s.queue);
        } catch (const std::bad_alloc&) {
          failed = "out of memory";
        } catch (const std::exception& e) {
          failed = e.what();
        }
        s.queue.close(failed.value_or(std::string()));
      });
    } catch (const std::system_error&) {
      s.error = "cannot start the thread that reads the rows";
      return EAGAIN;
    }
  }
  if (s.ended) {
    out->release = nullptr;
    return 0;
  }
  std::string error;
  std::optional<ArrowTable> batch = s.queue.pop(error);
  if (!batch) {
    if (!error.empty()) {
      s.error = std::move(error);
      return EIO;
    }
    s.ended = true;
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  std::shared_ptr<ArrowTable> shared;
  try {
    shared = std::make_shared<ArrowTable>(std::move(*batch));
  } catch (const std::bad_alloc&) {
    s.error = "out of memory";
    return ENOMEM;
  }
  const int rc = export_array(SharedTable(shared), out, 0);
  if (rc != 0) s.error = rc == ENOMEM ? "out of memory" : "invalid Arrow array";
  return rc;
}

const char* produced_get_last_error(ArrowArrayStream* stream) {
  const std::string& e = of(stream).error;
  return e.empty() ? nullptr : e.c_str();
}

void produced_release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<ProducedStream*>(stream->private_data);
  stream->release = nullptr;
  stream->private_data = nullptr;
}

}  // namespace

SharedTable schema_table(const TableBuilder::Schema& schema) {
  std::vector<ArrowColumn> columns(schema.names.size());
  for (std::size_t i = 0; i < columns.size(); ++i) {
    columns[i].name = schema.names[i];
    columns[i].format = schema.types[i].format();
  }
  return std::make_shared<const ArrowTable>(std::move(columns), 0, schema.names_repaired);
}

int export_produced_stream(SharedTable schema, Producer produce, ArrowArrayStream* out) noexcept {
  auto* s = new (std::nothrow) ProducedStream{};
  if (s == nullptr) return ENOMEM;
  s->schema = std::move(schema);
  s->produce = std::move(produce);
  out->get_schema = produced_get_schema;
  out->get_next = produced_get_next;
  out->get_last_error = produced_get_last_error;
  out->release = produced_release;
  out->private_data = s;
  return 0;
}

}  // namespace gleave::table
