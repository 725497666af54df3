#include "engine/table/batch_stream.hpp"

#include <cerrno>
#include <memory>
#include <new>
#include <thread>

namespace gleave::table {

BatchMaker::BatchMaker(TableOptions options, TableBuilder::Schema schema, std::size_t skip_rows,
                       BlockLimits limits, Emit emit, Widen widen)
    : schema_(std::move(schema)),
      builder_([&] {
        options.header = false;
        options.keep_values = true;
        return options;
      }()),
      skip_(skip_rows),
      limits_(limits),
      emit_(std::move(emit)),
      widen_(std::move(widen)) {
  limits_.rows = std::max<std::size_t>(limits_.rows, 1);
}

bool BatchMaker::flush() {
  // The next batch is much like this one: its buffers are reserved at that
  // size rather than grown to it.
  const std::vector<std::size_t> sizes = builder_.buffer_sizes();
  const std::uint64_t first = rows_;
  builder_.add_facts(seen_);
  if (widen_) {
    const std::string changed = builder_.widen_to_fit(schema_, first);
    if (!changed.empty()) widen_(schema_, changed);
  }
  rows_ += builder_.num_rows();
  ArrowTable batch = builder_.finish_batch(schema_, first);
  bytes_ = 0;
  builder_.reserve_like(sizes);
  return emit_(std::move(batch));
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
