// arrow_stream(): the repaired rows of a file as Arrow record batches,
// handed to pyarrow, polars, pandas or DuckDB through the Arrow PyCapsule
// protocol while the file is still being read.
//
// arrow_stream() reads the rows once with the interpreter lock released,
// keeping none of them: that settles the names and the type of every
// column over all rows, or over a head of them (a stream's schema is fixed
// before its first batch), and counts what the summary reports (a head's
// counts wait for a reading of every row). Each __arrow_c_stream__ call
// then reads them again on a thread of its own and hands out each batch as
// soon as it is built, so memory is a few batches and the longest row
// whatever the file's length, and the object can be consumed any number of
// times (DuckDB asks again for every query). A text of a few MiB is held
// whole rather than read again; a longer pipe is read as the readings ask,
// what they read kept in an unnamed temporary file that goes with the
// object (a TeeFile), so that the first batch comes while it is written.
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <structmember.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "engine/base/fd.hpp"
#include "engine/io/chunked.hpp"
#include "engine/io/files.hpp"
#include "engine/io/tee.hpp"
#include "engine/io/windowed.hpp"
#include "engine/io/writers.hpp"
#include "engine/repair/pass.hpp"
#include "engine/scan/text.hpp"
#include "engine/table/batch_stream.hpp"
#include "engine/table/table_builder.hpp"
#include "engine/table/table_sink.hpp"
#include "engine/table/thread_pool.hpp"

namespace gleave::native {

namespace {

using table::ArrowColumn;
using table::ArrowTable;
using table::BlockLimits;
using table::SharedTable;
using table::TableBuilder;
using table::TableOptions;

// What the caller asked of the rows beyond the table's options.
struct RowRequest {
  std::optional<std::uint64_t> limit;    // data rows to keep; the pass stops there
  std::vector<std::string> null_values;  // fields read as empty (so null when typed)
  bool keep_set_aside = false;           // collect the quarantine file's text
};

// Where the rows come from, for every reading of them: a text small
// enough to hold, read once and kept; else a regular file of the stream's
// own, or a pipe through a tee, read again a window at a time for each
// reading.
struct Source {
  FileRef input;            // as the caller named it, for errors
  bool in_memory = false;   // the text is held
  ByteBuffer bytes;         // the held input
  PreparedText prepared;    // its text and dialect
  Fd file;                  // else: read through a description of its own
  std::uint64_t start = 0;  // where the text starts in it
  bool refuse_binary = false;
  // Else a pipe, read as the readings ask and kept in an unnamed temporary
  // file on the way, so that it reads again as a file does.
  std::shared_ptr<TeeFile> tee;
  bool pipe = false;  // not a regular file (held, or read through the tee)
};

// Inputs up to 8 MiB are held whole: the dialect is then settled on the
// whole text, as open() settles it, and the table costs little more.
// GLEAVE_HELD_INPUT_BYTES, when set to a number, replaces the limit: tests
// read small files a window at a time with 0.
std::uint64_t held_input_bytes() {
  if (const char* v = std::getenv("GLEAVE_HELD_INPUT_BYTES")) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v, &end, 10);
    if (end != v && *end == '\0') return n;
  }
  return std::uint64_t{8} << 20;
}

IoError named(IoError error, const FileRef& input) {
  return std::move(error).at(IoRole::Input, input.path);
}
GleaveError named(GleaveError error, const FileRef& input) {
  if (IoError* io = error.io()) return named(std::move(*io), input);
  return error;
}

// A descriptor of its own on the file `fd` has open: its offset moves
// apart from the caller's.
Result<Fd> reopen(int fd) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const int copy = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
  if (copy < 0) return IoError::from_errno(errno);
  return Fd(copy);
}

// The rows kept out of the table as the quarantine file holds them: in
// memory up to a MiB, then in an unnamed temporary file, so that a file
// with much set aside still reads in bounded memory.
class SpilledText {
 public:
  std::string& tail() noexcept { return tail_; }
  // Moves the tail to the file once it is large; false (and failed() set)
  // when the file cannot be made or written.
  bool spill_if_large() {
    if (tail_.size() < (std::size_t{1} << 20) || error_) return !error_;
    return spill();
  }
  const std::optional<GleaveError>& failed() const noexcept { return error_; }
  std::uint64_t size() const noexcept { return in_file_ + tail_.size(); }
  // Up to `n` bytes from `offset`: from the file, then from the tail.
  Result<std::size_t> read_at(std::uint64_t offset, char* p, std::size_t n) const {
    if (offset < in_file_) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(n, in_file_ - offset));
      const ssize_t got = ::pread(file_.get(), p, want, static_cast<off_t>(offset));
      if (got < 0) return IoError::from_errno(errno);
      return static_cast<std::size_t>(got);
    }
    const std::uint64_t at = offset - in_file_;
    if (at >= tail_.size()) return std::size_t{0};
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, tail_.size() - at));
    std::memcpy(p, tail_.data() + at, take);
    return take;
  }

 private:
  bool spill() {
    if (file_.get() < 0) {
      auto temp = open_unlinked_temp(temp_dir(), "set-aside");
      if (!temp) {
        error_ = std::move(temp.error());
        return false;
      }
      file_ = std::move(temp.value());
    }
    if (Status written = write_all(file_.get(), tail_.data(), tail_.size(), IoFixed::WriteZero);
        !written) {
      error_ = std::move(written.io_error()).at(IoRole::Temporary, temp_dir());
      return false;
    }
    in_file_ += tail_.size();
    tail_.clear();
    return true;
  }

  std::string tail_;
  Fd file_;
  std::uint64_t in_file_ = 0;
  std::optional<GleaveError> error_;
};

Result<std::unique_ptr<Source>> open_source(const FileRef& input, const Dialect& options,
                                            bool refuse_binary, Interrupt& interrupt) {
  auto source = std::make_unique<Source>();
  source->input = input;
  source->refuse_binary = refuse_binary;
  if (input.fd < 0 && has_nul(input.path)) {
    return named(IoError::from_fixed(IoFixed::NulInPath), input);
  }
  Fd owned;
  int fd = input.fd;
  if (fd < 0) {
    auto opened = open_path(input.path, O_RDONLY, &interrupt);
    if (!opened) return named(std::move(*opened.error().io()), input);
    owned = std::move(opened.value());
    fd = owned.get();
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return named(IoError::from_errno(errno), input);
  std::uint64_t start = 0;
  if (S_ISREG(st.st_mode)) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    start = at > 0 ? static_cast<std::uint64_t>(at) : 0;
  } else {
    source->pipe = true;
    // The stream reads the pipe after this call returns: through a
    // descriptor of its own, whatever the caller does with theirs.
    if (owned.get() < 0) {
      const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (copy < 0) return named(IoError::from_errno(errno), input);
      owned = Fd(copy);
    }
    auto tee = TeeFile::open(std::move(owned));
    if (!tee) return std::move(tee.error());
    // A pipe as short as a held file is read whole, and held as one.
    if (Status s = tee.value()->fill(held_input_bytes() + 1, &interrupt); !s) {
      return named(std::move(s.error()), input);
    }
    if (!tee.value()->ended() || tee.value()->kept() > held_input_bytes()) {
      source->tee = std::move(tee.value());
      return source;
    }
    // The file outlives the tee through a descriptor of its own.
    owned = Fd(::fcntl(tee.value()->file(), F_DUPFD_CLOEXEC, 0));
    fd = owned.get();
    if (fd < 0 || ::lseek(fd, 0, SEEK_SET) < 0) return named(IoError::from_errno(errno), input);
    st.st_size = static_cast<off_t>(tee.value()->kept());
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > start + held_input_bytes()) {
    auto own = owned.get() >= 0 ? std::move(owned) : reopen(fd);
    if (!own) return named(std::move(own.error()), input);
    source->file = std::move(own.value());
    source->start = start;
    return source;
  }
  auto text = read_input(FileRef{input.path, fd}, &interrupt, refuse_binary);
  if (!text) return named(std::move(text.error()), input);
  source->bytes = std::move(text.value());
  source->prepared = prepare_text(source->bytes.view(), options);
  if (!source->prepared.ok()) return named(IoError::from_errno(EINVAL), input);
  if (Status s = check_dialect(source->prepared.dialect); !s) return std::move(s.error());
  source->in_memory = true;
  return source;
}

// One reading of the source through the product pass, into `sink`.
template <class Sink>
Result<JobCounts> read_source(const Source& source, const Dialect& options, Interrupt& interrupt,
                              Sink& sink) {
  ProductCounts counts;
  JobCounts out;
  if (source.in_memory) {
    counts = run_product_pass(source.prepared, sink);
    out.input = input_read(source.prepared, counts);
  } else {
    std::optional<Fd> fd;
    if (!source.tee) {
      auto own = reopen(source.file.get());
      if (!own) return named(std::move(own.error()), source.input);
      fd = std::move(own.value());
      if (::lseek(fd->get(), static_cast<off_t>(source.start), SEEK_SET) < 0) {
        return named(IoError::from_errno(errno), source.input);
      }
    }
    auto in = source.tee
                  ? WindowedInput::open(*source.tee, options, source.refuse_binary, &interrupt)
                  : WindowedInput::open(fd->get(), options, source.refuse_binary, &interrupt);
    if (!in) return named(std::move(in.error()), source.input);
    WindowedInput& windowed = *in.value();
    counts = run_product_pass(windowed.prepared(), windowed.text(), sink);
    if (Status& read = windowed.text().status(); !read) {
      return named(std::move(read.error()), source.input);
    }
    out.input = windowed.report(counts);
  }
  static_cast<GleaveCounts&>(out) = counts;
  out.delimiter = counts.delimiter;
  return out;
}

// Takes the pass's kept rows into `Into`: a TableBuilder that only learns
// the columns' types, or a BatchMaker that builds batches. Null spellings
// become empty fields and the row limit ends the pass; rejected rows are
// counted, and with keep_set_aside written as the quarantine file holds them.
template <class Into>
struct RowSink : table::TableSink<RowSink<Into>, Into> {
  using Base = table::TableSink<RowSink<Into>, Into>;
  RowSink(const TableOptions& o, Interrupt& i, const RowRequest& r, typename Base::Make m)
      : Base(o, &i, std::move(m)), request(r) {}
  const RowRequest& request;
  // The set-aside rows as the quarantine file holds them, when kept.
  SpilledText* set_aside_text = nullptr;
  // Data rows to look at before the pass ends (a head settling types).
  std::optional<std::uint64_t> head;
  bool head_cut = false;   // the pass ended at the head, not at the end
  std::uint64_t kept = 0;  // rows given on, header rows included
  bool limit_reached = false;

  // Header rows name columns: null spellings and the row limit are for data.
  const std::vector<std::string>* nulls() const {
    return request.null_values.empty() || kept < this->header_count() ? nullptr
                                                                      : &request.null_values;
  }
  // True once the rows asked for are kept: the pass then ends as a
  // finished one (not an interrupted one), before or after a row.
  bool full() {
    if (request.limit) limit_reached = kept >= *request.limit + this->header_count();
    if (!limit_reached && head) head_cut = kept >= *head + this->header_count();
    return limit_reached || head_cut;
  }
  bool counted() {
    ++kept;
    return !full() && this->go_on();
  }
  template <class... Why>
  bool keep(const Row& row, const Why&...) {
    if (full()) return false;  // no data rows were asked for
    this->add(row, nulls());
    return counted();
  }
  bool keep_line(std::string_view line, bool ascii) {
    if (full()) return false;
    this->add_line(line, ascii, nulls());
    return counted();
  }
  bool set_aside(std::uint64_t number, std::string_view reason, std::string_view raw) {
    if (set_aside_text != nullptr) {
      append_raw_quarantine_line(set_aside_text->tail(), number, reason, raw);
      if (!set_aside_text->spill_if_large()) return false;  // the reading names the failure
    }
    return this->go_on();
  }
};

// What the readings of the rows have learnt, shared by the stream object
// and every stream it exports (each runs on a thread of its own): the
// schema, and once every row has been read, what the summary reports.
struct Learnt {
  TableBuilder::Schema schema;
  SharedTable table;                 // no rows: the schema's names and types
  std::vector<std::string> widened;  // columns made text after the head
  bool complete = false;             // the counts below are of every row
  // Whether the schema types every column as every row does: always when
  // settled on every row; for a head, as the last reading of every row
  // found (unknown before one).
  std::optional<bool> settles_every_row;
  std::int64_t rows = 0;
  JobCounts counts;
  std::shared_ptr<const SpilledText> set_aside;  // when asked for
};

// Everything a reading of the rows needs.
struct Recipe {
  std::shared_ptr<const Source> source;  // shared by the streams made over this one
  Dialect options;
  TableOptions table;  // as the first reading settled them (decimal comma, header rows)
  RowRequest rows;
  BlockLimits limits;
  // Types settled on a head of the rows: a later value that does not fit
  // widens its column to text (see produce).
  bool head = false;
  unsigned threads = 1;      // building the batches, the reading's own included
  mutable std::mutex mutex;  // guards learnt
  mutable Learnt learnt;
  // The counts have been reported at the end of a reading (see Reporting).
  mutable std::atomic<bool> reported{false};

  Learnt snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return learnt;
  }
  // Makes text every column `wider` made text, and adds the columns it
  // added (another stream may have widened others meanwhile).
  void widen(const TableBuilder::Schema& wider) const {
    std::lock_guard<std::mutex> lock(mutex);
    TableBuilder::Schema& schema = learnt.schema;
    for (std::size_t i = schema.types.size(); i < wider.types.size(); ++i) {
      schema.types.push_back(wider.types[i]);
      learnt.widened.push_back(wider.names[i]);
    }
    if (wider.types.size() >= schema.types.size()) schema.names = wider.names;
    for (std::size_t i = 0; i < wider.types.size() && i < learnt.schema.types.size(); ++i) {
      TableBuilder::ColumnType& mine = learnt.schema.types[i];
      if (wider.types[i].kind != 0 || (mine.kind == 0 && (mine.utf8 || !wider.types[i].utf8)))
        continue;
      if (mine.kind != 0) learnt.widened.push_back(learnt.schema.names[i]);
      mine.kind = 0;
      mine.utf8 = mine.utf8 && wider.types[i].utf8;
    }
    learnt.table = table::schema_table(learnt.schema);
  }
};

// Rows to look at to settle the types on a head: GLEAVE_TYPE_HEAD_ROWS
// when set to a number (tests), else 65,536.
std::uint64_t head_rows() {
  if (const char* v = std::getenv("GLEAVE_TYPE_HEAD_ROWS")) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v, &end, 10);
    if (end != v && *end == '\0') return n;
  }
  return 65536;
}

// The first reading, with the lock released: every kept row is looked at
// (none kept), which settles the names and the type of every column over
// all rows, and counts what the summary reports. Never throws.
// With `head` (nothing: the types are settled on every row, or "types" as
// the caller gave it), only a head of the rows is read when the source is
// not a regular file, or when asked; the counts then come with a later
// reading of every row.
// `shared`, when given, is the source of another stream, read again.
Result<std::shared_ptr<Recipe>> survey(const FileRef& input, std::shared_ptr<const Source> shared,
                                       const Dialect& options, const TableOptions& table_options,
                                       RowRequest rows, BlockLimits limits, bool refuse_binary,
                                       std::optional<bool> head, Interrupt& interrupt) {
  try {
    auto recipe = std::make_shared<Recipe>();
    if (shared) {
      recipe->source = std::move(shared);
    } else {
      auto source = open_source(input, options, refuse_binary, interrupt);
      if (!source) return std::move(source.error());
      recipe->source = std::move(source.value());
    }
    recipe->options = options;
    recipe->rows = std::move(rows);
    recipe->limits = limits;
    recipe->head = head.value_or(recipe->source->pipe);
    std::optional<TableBuilder> looked;
    RowSink<TableBuilder> sink(table_options, interrupt, recipe->rows,
                               [&](const TableOptions& o) -> TableBuilder& {
                                 TableOptions survey_options = o;
                                 survey_options.keep_values = false;
                                 return looked.emplace(survey_options);
                               });
    if (recipe->head) sink.head = head_rows();
    auto set_aside = std::make_shared<SpilledText>();
    if (recipe->rows.keep_set_aside) {
      set_aside->tail().assign(kQuarantineHeader);
      sink.set_aside_text = set_aside.get();
    }
    auto counts = read_source(*recipe->source, options, interrupt, sink);
    if (!counts) return std::move(counts.error());
    if (set_aside->failed()) return *set_aside->failed();
    if (sink.interrupted || interrupt.requested()) return IoError::from_fixed(IoFixed::Interrupted);
    if (!looked) sink.begin(counts.value().delimiter, 0);  // an empty text
    recipe->table = sink.options;
    Learnt& learnt = recipe->learnt;
    learnt.schema = looked->settle_schema();
    learnt.table = table::schema_table(learnt.schema);
    // A head that held every row settles what every row settles.
    learnt.complete = !sink.head_cut;
    learnt.rows = static_cast<std::int64_t>(looked->num_rows());
    learnt.counts = std::move(counts.value());
    if (recipe->rows.keep_set_aside && learnt.complete) {
      learnt.set_aside = std::move(set_aside);
      recipe->rows.keep_set_aside = false;  // the later readings only build
    }
    if (learnt.complete) {
      recipe->head = false;  // every value has been looked at
      learnt.settles_every_row = true;
    }
    return recipe;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return IoError::from_fixed(IoFixed::OutOfMemory);
}

// A later reading, on the stream's own thread: the rows again, built into
// batches of `schema` (the stream's, fixed when it was exported) and
// queued as they are made. The message of what went wrong, or nothing.
//
// With types settled on a head, a batch holding a value its column's type
// does not hold unchanged widens that column to text for every later
// reading; this one ends there with an error saying so, since a stream's
// schema cannot change under its consumer, and the next reading has the
// widened schema from its first batch. The first reading to get through
// every row leaves the summary's counts (and the set-aside rows) behind.
std::optional<std::string> produce(const Recipe& recipe, const TableBuilder::Schema& schema,
                                   table::BatchQueue& queue) {
  std::optional<table::BatchMaker> maker;
  table::BatchMaker::Widen widen;
  if (recipe.head) {
    widen = [&recipe](const TableBuilder::Schema& wider, const std::string& changed) {
      recipe.widen(wider);
      throw table::SchemaMisfit(changed +
                                "; the stream's schema cannot change, so it ends here: read it "
                                "again for the widened schema");
    };
  }
  RowRequest rows = recipe.rows;
  const bool counting = !recipe.snapshot().complete;
  SpilledText set_aside;
  RowSink<table::BatchMaker> sink(
      recipe.table, queue.interrupt(), rows, [&](const TableOptions& o) -> table::BatchMaker& {
        const std::size_t header = o.header ? std::max<std::size_t>(o.header_rows, 1) : 0;
        return maker.emplace(
            o, schema, header, recipe.limits,
            [&](ArrowTable&& batch) { return queue.push(std::move(batch)); }, widen,
            recipe.threads);
      });
  if (counting && rows.keep_set_aside) {
    set_aside.tail().assign(kQuarantineHeader);
    sink.set_aside_text = &set_aside;
  }
  auto counts = read_source(*recipe.source, recipe.options, queue.interrupt(), sink);
  if (!counts) return counts.error().message();
  if (set_aside.failed()) return set_aside.failed()->message();
  if (sink.interrupted) return std::nullopt;            // the consumer has gone
  if (!maker) sink.begin(counts.value().delimiter, 0);  // an empty text
  maker->finish();
  std::lock_guard<std::mutex> lock(recipe.mutex);
  if (recipe.head) recipe.learnt.settles_every_row = maker->schema_settles_every_row();
  if (counting) {
    if (!recipe.learnt.complete) {
      recipe.learnt.complete = true;
      recipe.learnt.rows = static_cast<std::int64_t>(maker->rows());
      recipe.learnt.counts = std::move(counts.value());
      if (rows.keep_set_aside)
        recipe.learnt.set_aside = std::make_shared<const SpilledText>(std::move(set_aside));
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Capsules. Each owns its struct; a consumer that takes the contents marks
// the struct released, and the destructor then frees only the struct.

constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kSchemaCapsule = "arrow_schema";

void stream_capsule_destructor(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

void schema_capsule_destructor(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
  if (schema == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

// ---------------------------------------------------------------------------
// The ArrowStream type

struct StreamRecord {
  std::shared_ptr<const Recipe> recipe;
};

// The object's plain head, whose field offsets are well defined.
struct StreamHead {
  PyObject ob_base;
  PyObject* weak_references;  // the writer of a pipe holds the stream weakly
  PyObject* report;           // called with the summary once the rows are counted
  PyObject* given;            // the source as the caller gave it, for errors
};

struct StreamObject {
  StreamHead head;
  StreamRecord record;
};

StreamRecord& record_of(PyObject* self) {
  return reinterpret_cast<StreamObject*>(self)->record;
}

void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (reinterpret_cast<StreamObject*>(self)->head.weak_references != nullptr) {
    PyObject_ClearWeakRefs(self);
  }
  Py_CLEAR(reinterpret_cast<StreamObject*>(self)->head.report);
  Py_CLEAR(reinterpret_cast<StreamObject*>(self)->head.given);
  record_of(self).~StreamRecord();
  type->tp_free(self);
  Py_DECREF(type);
}

// Whether a thread may still take the interpreter lock: not while the
// interpreter is going away (a consumer on a thread of its own may end
// then), when Python objects are left as they are.
bool interpreter_alive() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsInitialized() && !Py_IsFinalizing();
#else
  return Py_IsInitialized() && !_Py_IsFinalizing();
#endif
}

// A consumer's stream of a recipe whose rows are not yet counted, which
// calls `report` with the summary at the end of the first reading whose end
// finds them counted (once per recipe): a consumer such as pyarrow or
// DuckDB reads through the stream without the caller seeing its end.
struct Reporting {
  ArrowArrayStream inner{};
  std::shared_ptr<const Recipe> recipe;
  ModuleState* state = nullptr;
  PyObject* report = nullptr;  // a new reference, dropped with the interpreter lock
  std::string error;           // what report raised

  static Reporting& of(ArrowArrayStream* s) { return *static_cast<Reporting*>(s->private_data); }

  // Drops `report`, taking the lock if this thread has not got it.
  void drop() {
    if (report == nullptr || !interpreter_alive()) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    Py_CLEAR(report);
    PyGILState_Release(gil);
  }

  // Calls `report` with the summary; false (error set) when it raised.
  bool call() {
    if (!interpreter_alive()) return true;
    const Learnt now = recipe->snapshot();
    const PyGILState_STATE gil = PyGILState_Ensure();
    bool ok = false;
    {
      Ref summary(new_summary(state, now.counts, now.counts.delimiter,
                              now.counts.input ? &*now.counts.input : nullptr));
      ok = summary && Ref(PyObject_CallOneArg(report, summary.get()));
      if (!ok) {
        // A warning made an error, say: the reading ends with its message.
        Ref raised = kit::take_exception();
        Ref text(raised ? PyObject_Str(raised.get()) : nullptr);
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        error = utf8 != nullptr ? utf8 : "the report of the set-aside rows failed";
        PyErr_Clear();
      }
      Py_CLEAR(report);
    }
    PyGILState_Release(gil);
    return ok;
  }
};

int reporting_schema(ArrowArrayStream* s, ArrowSchema* out) {
  ArrowArrayStream& inner = Reporting::of(s).inner;
  return inner.get_schema(&inner, out);
}

int reporting_next(ArrowArrayStream* s, ArrowArray* out) {
  Reporting& r = Reporting::of(s);
  const int rc = r.inner.get_next(&r.inner, out);
  if (rc != 0 || out->release != nullptr || r.report == nullptr) return rc;
  if (!r.recipe->snapshot().complete || r.recipe->reported.exchange(true)) return rc;
  return r.call() ? 0 : EIO;
}

const char* reporting_error(ArrowArrayStream* s) {
  Reporting& r = Reporting::of(s);
  return r.error.empty() ? r.inner.get_last_error(&r.inner) : r.error.c_str();
}

void reporting_release(ArrowArrayStream* s) {
  auto* r = &Reporting::of(s);
  if (r->inner.release != nullptr) r->inner.release(&r->inner);
  r->drop();
  delete r;
  s->release = nullptr;
}

// Wraps `stream` (taken over) so that it reports; false (the stream left
// as it was) without memory.
bool report_at_end(ArrowArrayStream* stream, std::shared_ptr<const Recipe> recipe,
                   ModuleState* state, PyObject* report) {
  auto* r = new (std::nothrow) Reporting();
  if (r == nullptr) return false;
  r->inner = *stream;
  r->recipe = std::move(recipe);
  r->state = state;
  r->report = Py_NewRef(report);
  *stream = ArrowArrayStream{};
  stream->get_schema = reporting_schema;
  stream->get_next = reporting_next;
  stream->get_last_error = reporting_error;
  stream->release = reporting_release;
  stream->private_data = r;
  return true;
}

const char* const kExportParams[] = {"requested_schema"};
const kit::Signature kExportSignature{"__arrow_c_stream__()", kExportParams, 1, 0};

PyObject* stream_export(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  // A requested schema is a wish the protocol lets a producer decline: the
  // types here are already the ones inferred, and a consumer casts itself.
  PyObject* requested = nullptr;
  if (!kit::bind_fastcall(kExportSignature, args, nargsf, kwnames, &requested)) return nullptr;
  auto* stream = new (std::nothrow) ArrowArrayStream{};
  if (stream == nullptr) return PyErr_NoMemory();
  std::shared_ptr<const Recipe> recipe = record_of(self).recipe;
  Learnt now = recipe->snapshot();
  table::Producer producer = [recipe, schema = std::move(now.schema)](table::BatchQueue& queue) {
    return produce(*recipe, schema, queue);
  };
  if (table::export_produced_stream(now.table, std::move(producer), stream) != 0) {
    delete stream;
    return PyErr_NoMemory();
  }
  PyObject* report = reinterpret_cast<StreamObject*>(self)->head.report;
  if (report != nullptr && !now.complete && !recipe->reported.load() &&
      !report_at_end(stream, recipe, state_of_type(Py_TYPE(self)), report)) {
    stream->release(stream);
    delete stream;
    return PyErr_NoMemory();
  }
  return stream_capsule(stream);
}

PyObject* schema_export(PyObject* self, PyObject*) {
  auto* schema = new (std::nothrow) ArrowSchema{};
  if (schema == nullptr) return PyErr_NoMemory();
  if (record_of(self).recipe->snapshot().table->export_schema(schema) != 0) {
    delete schema;
    return PyErr_NoMemory();
  }
  PyObject* capsule = PyCapsule_New(schema, kSchemaCapsule, schema_capsule_destructor);
  if (capsule == nullptr) {
    schema->release(schema);
    delete schema;
  }
  return capsule;
}

PyObject* stream_num_rows(PyObject* self, void*) {
  const Learnt now = record_of(self).recipe->snapshot();
  if (!now.complete) Py_RETURN_NONE;
  return PyLong_FromLongLong(now.rows);
}

PyObject* stream_num_columns(PyObject* self, void*) {
  return PyLong_FromSize_t(record_of(self).recipe->snapshot().table->num_columns());
}

PyObject* str_list(const std::vector<std::string>& items) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    // Names are valid UTF-8: repaired header cells carry U+FFFD.
    PyObject* s =
        PyUnicode_DecodeUTF8(items[i].data(), static_cast<Py_ssize_t>(items[i].size()), "replace");
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

PyObject* stream_column_names(PyObject* self, void*) {
  return str_list(record_of(self).recipe->snapshot().schema.names);
}

PyObject* stream_widened(PyObject* self, void*) {
  return str_list(record_of(self).recipe->snapshot().widened);
}

PyObject* stream_settles_every_row(PyObject* self, void*) {
  const Learnt now = record_of(self).recipe->snapshot();
  if (!now.settles_every_row) Py_RETURN_NONE;
  return PyBool_FromLong(*now.settles_every_row);
}

PyObject* stream_types(PyObject* self, void*) {
  return PyUnicode_FromString(record_of(self).recipe->head ? "head" : "all-rows");
}

PyObject* stream_names_repaired(PyObject* self, void*) {
  return PyLong_FromSize_t(record_of(self).recipe->snapshot().table->names_repaired());
}

PyObject* stream_summary(PyObject* self, void*) {
  const Learnt now = record_of(self).recipe->snapshot();
  if (!now.complete) Py_RETURN_NONE;
  return new_summary(state_of_type(Py_TYPE(self)), now.counts, now.counts.delimiter,
                     now.counts.input ? &*now.counts.input : nullptr);
}

// Up to `size` bytes of the set-aside rows from `offset` as a bytes object.
PyObject* set_aside_bytes(const SpilledText& text, std::uint64_t offset, std::uint64_t size) {
  const std::uint64_t left = offset < text.size() ? text.size() - offset : 0;
  const auto n = static_cast<Py_ssize_t>(std::min(size, left));
  Ref out(PyBytes_FromStringAndSize(nullptr, n));
  if (!out) return nullptr;
  char* p = PyBytes_AS_STRING(out.get());
  for (Py_ssize_t done = 0; done < n;) {
    auto got = text.read_at(offset + static_cast<std::uint64_t>(done), p + done,
                            static_cast<std::size_t>(n - done));
    if (!got || got.value() == 0) {
      errno = got ? EIO : got.error().io() ? got.error().io()->code : EIO;
      return PyErr_SetFromErrno(PyExc_OSError);
    }
    done += static_cast<Py_ssize_t>(got.value());
  }
  return out.release();
}

PyObject* stream_set_aside(PyObject* self, void*) {
  const Learnt now = record_of(self).recipe->snapshot();
  if (!now.set_aside) Py_RETURN_NONE;
  return set_aside_bytes(*now.set_aside, 0, now.set_aside->size());
}

const char* const kReadSetAsideParams[] = {"offset", "size"};
const kit::Signature kReadSetAsideSignature{"read_set_aside()", kReadSetAsideParams, 2, 2};

PyObject* stream_read_set_aside(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
  PyObject* given[2] = {nullptr, nullptr};
  if (!kit::bind_fastcall(kReadSetAsideSignature, args, nargsf, kwnames, given)) return nullptr;
  const unsigned long long offset = PyLong_AsUnsignedLongLong(given[0]);
  if (offset == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  const unsigned long long size = PyLong_AsUnsignedLongLong(given[1]);
  if (size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  const Learnt now = record_of(self).recipe->snapshot();
  if (!now.set_aside) Py_RETURN_NONE;
  return set_aside_bytes(*now.set_aside, offset, size);
}

PyObject* stream_repr(PyObject* self) {
  const Learnt now = record_of(self).recipe->snapshot();
  if (!now.complete) {
    return PyUnicode_FromFormat("<csv_gleave.ArrowStream: %zu columns, rows not yet counted>",
                                now.table->num_columns());
  }
  return PyUnicode_FromFormat("<csv_gleave.ArrowStream: %lld rows, %zu columns>",
                              static_cast<long long>(now.rows), now.table->num_columns());
}

PyGetSetDef stream_getset[] = {
    {"num_rows", stream_num_rows, nullptr,
     "The number of data rows; with types='head', None until a reading of the stream has gone "
     "through every row.",
     nullptr},
    {"num_columns", stream_num_columns, nullptr, "The number of columns.", nullptr},
    {"column_names", stream_column_names, nullptr, "The column names, in order.", nullptr},
    {"names_repaired", stream_names_repaired, nullptr,
     "How many header names held bytes that are not UTF-8 and were named with U+FFFD in "
     "their place (the column's values are left as they are).",
     nullptr},
    {"summary", stream_summary, nullptr,
     "The counts of the repair; with types='head', None until a reading of the stream has gone "
     "through every row.",
     nullptr},
    {"set_aside", stream_set_aside, nullptr,
     "With set_aside=True: the rows kept out of the table (quarantined, preamble, other "
     "tables, footnotes, repeated headers) as the bytes of a quarantine file, as gleave_file "
     "writes one; else None (and None until the rows are counted, as summary). Held in a "
     "temporary file once large: read_set_aside() gives it a piece at a time.",
     nullptr},
    {"types", stream_types, nullptr,
     "'all-rows': the column types were settled over every row before the first batch; "
     "'head': on the first rows only, a later value that does not fit widening its column.",
     nullptr},
    {"settles_every_row", stream_settles_every_row, nullptr,
     "Whether the schema types every column as a reading of every row does: True with "
     "types='all-rows'; with types='head', what the last reading that went through every row "
     "found (None before one), so that a caller wanting every row's types can read again with "
     "types='all-rows' only when they differ.",
     nullptr},
    {"widened", stream_widened, nullptr,
     "The columns (types='head') that a value after the head made text, in the order found.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// _fail_source(message): the writer of the pipe the stream reads has failed.
// Every reading that waits on the pipe, now or later, ends with `message`
// instead of taking the pipe's end for the input's.
PyObject* stream_fail_source(PyObject* self, PyObject* message) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(message) ? PyUnicode_AsUTF8AndSize(message, &size) : nullptr;
  if (text == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_fail_source() takes a str");
    return nullptr;
  }
  if (const auto& tee = record_of(self).recipe->source->tee) {
    tee->fail(std::string(text, static_cast<std::size_t>(size)));
  }
  Py_RETURN_NONE;
}

// _report_counts(report): `report` is called with the summary at the end of
// the first reading whose end finds every row counted.
PyObject* stream_report_counts(PyObject* self, PyObject* report) {
  if (!PyCallable_Check(report)) {
    PyErr_SetString(PyExc_TypeError, "_report_counts() takes a callable");
    return nullptr;
  }
  Py_XSETREF(reinterpret_cast<StreamObject*>(self)->head.report, Py_NewRef(report));
  Py_RETURN_NONE;
}

PyMemberDef stream_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(StreamHead, weak_references), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef stream_methods[] = {
    {"_report_counts", stream_report_counts, METH_O,
     "_report_counts($self, report, /)\n--\n\nCalls report(summary) at the end of the first "
     "reading whose end finds every row counted."},
    {"_fail_source", stream_fail_source, METH_O,
     "_fail_source($self, message, /)\n--\n\nEnds every reading that waits on the pipe the stream "
     "reads with message (its writer failed)."},
    {"__arrow_c_stream__", kit::as_cfunction(stream_export), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "A PyCapsule 'arrow_array_stream' of the table's record batches, in row order, each\n"
     "built as the rows are read again. May be called any number of times; each stream\n"
     "reads the rows anew. requested_schema is ignored."},
    {"read_set_aside", kit::as_cfunction(stream_read_set_aside), METH_FASTCALL | METH_KEYWORDS,
     "read_set_aside($self, /, offset, size)\n--\n\n"
     "Up to size bytes of set_aside from offset (b'' past its end), or None as set_aside."},
    {"__arrow_c_schema__", schema_export, METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nA PyCapsule 'arrow_schema': a struct with one field per "
     "column."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {Py_tp_doc, const_cast<char*>(
                    "The repaired rows of a file as a stream of Arrow record batches, made by\n"
                    "arrow_stream(). Implements the Arrow PyCapsule protocol: pyarrow.table(s),\n"
                    "polars.DataFrame(s) and DuckDB (FROM s) read it batch by batch, as often as\n"
                    "they like.")},
    {Py_tp_getset, stream_getset},
    {Py_tp_methods, stream_methods},
    {Py_tp_members, stream_members},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "csv_gleave.ArrowStream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_slots,
};

// n_rows (None or an int >= 0), set_aside (a bool) and null_values (None or
// a sequence of str) into `out`; false with an exception set.
bool row_request_from(PyObject* n_rows, PyObject* set_aside, PyObject* null_values,
                      RowRequest& out) {
  if (n_rows != Py_None) {
    if (!PyLong_Check(n_rows) || PyBool_Check(n_rows)) {
      PyErr_Format(PyExc_TypeError, "n_rows must be an int or None, not %.100s",
                   Py_TYPE(n_rows)->tp_name);
      return false;
    }
    const long long v = PyLong_AsLongLong(n_rows);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0) {
      PyErr_SetString(PyExc_ValueError, "n_rows must be 0 or more");
      return false;
    }
    out.limit = static_cast<std::uint64_t>(v);
  }
  if (!bool_from(set_aside, "set_aside", out.keep_set_aside)) return false;
  if (null_values == Py_None) return true;
  if (PyUnicode_Check(null_values) || PyBytes_Check(null_values)) {
    PyErr_SetString(PyExc_TypeError, "null_values must be a sequence of str, not one str");
    return false;
  }
  Ref items(PySequence_Fast(null_values, "null_values must be a sequence of str"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "null_values must hold str, not %.100s",
                   Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) return false;
    out.null_values.emplace_back(text, static_cast<std::size_t>(size));
  }
  return true;
}

const kit::Parameters& parameters() {
  static const kit::Parameters p = [] {
    kit::Parameters p("arrow_stream");
    p.required("source").keyword_only();
    kit::add_options(p, kit::OptionUse::RepairKeywordOnly);
    p.optional("header", "True").optional("infer_types", "True").optional("allow_binary", "True");
    p.optional("cancel", "None").optional("string_views", "False").optional("threads", "None");
    p.optional("n_rows", "None").optional("set_aside", "False").optional("null_values", "None");
    p.optional("decimal_comma", "True").optional("types", "None");
    return p;
  }();
  return p;
}
constexpr std::size_t kHeader = 1 + kit::option_count(kit::OptionUse::RepairKeywordOnly);

PyObject* or_none(PyObject* value) {
  return value == nullptr ? Py_None : value;
}

PyObject* arrow_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  kit::Bound bound;
  if (!parameters().bind(args, nargsf, kwnames, bound)) return nullptr;
  ModuleState* state = state_of_module(module);
  // Another stream: its input again (a pipe's bytes as its tee keeps them).
  PathArg input;
  std::shared_ptr<const Source> shared;
  if (PyObject_TypeCheck(bound[0], state->arrow_stream_type)) {
    const StreamHead& other = reinterpret_cast<StreamObject*>(bound[0])->head;
    shared = record_of(bound[0]).recipe->source;
    input.given = Ref::borrow(other.given);
    input.path = shared->input.path;
    input.fd = shared->input.fd;
  } else if (!path_from(bound[0], input)) {
    return nullptr;
  }
  PyObject* header = bound[kHeader];
  PyObject* infer_types = bound[kHeader + 1];
  PyObject* allow_binary = bound[kHeader + 2];
  PyObject* cancel = or_none(bound[kHeader + 3]);
  PyObject* string_views = bound[kHeader + 4];
  PyObject* threads_arg = or_none(bound[kHeader + 5]);
  PyObject* n_rows = or_none(bound[kHeader + 6]);
  PyObject* set_aside = bound[kHeader + 7];
  PyObject* null_values = or_none(bound[kHeader + 8]);
  PyObject* decimal_comma = bound[kHeader + 9];
  PyObject* types = or_none(bound[kHeader + 10]);
  // None: on a head for a pipe (read as it comes, kept in a temporary file
  // on the way), over every row for a file.
  std::optional<bool> head;
  if (types != Py_None) {
    const bool all =
        PyUnicode_Check(types) && PyUnicode_CompareWithASCIIString(types, "all-rows") == 0;
    if (!all && !(PyUnicode_Check(types) && PyUnicode_CompareWithASCIIString(types, "head") == 0)) {
      PyErr_SetString(PyExc_ValueError, "types must be 'head', 'all-rows' or None");
      return nullptr;
    }
    head = !all;
  }
  RowRequest rows;
  if (!row_request_from(n_rows, set_aside, null_values, rows)) return nullptr;
  // The stream's own thread reads the rows; the batches are built by it and
  // the shared pool's threads, one more than the pool has by default.
  unsigned threads = table::ThreadPool::shared().size() + 1;
  if (threads_arg != Py_None) {
    if (!PyLong_Check(threads_arg) || PyBool_Check(threads_arg)) {
      PyErr_Format(PyExc_TypeError, "threads must be an int or None, not %.100s",
                   Py_TYPE(threads_arg)->tp_name);
      return nullptr;
    }
    const long v = PyLong_AsLong(threads_arg);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (v < 1 || v > 256) {
      PyErr_SetString(PyExc_ValueError, "threads must be between 1 and 256");
      return nullptr;
    }
    threads = static_cast<unsigned>(v);
  }
  Dialect options;
  TableOptions table_options;
  table_options.decimal_comma = true;  // kept only when the delimiter is not a comma
  bool allow = true;
  if (!kit::options_from(&bound[1], kit::OptionUse::RepairKeywordOnly, options) ||
      !bool_from(header, "header", table_options.header) ||
      !bool_from(infer_types, "infer_types", table_options.infer_types) ||
      !bool_from(allow_binary, "allow_binary", allow) ||
      !bool_from(string_views, "string_views", table_options.string_views) ||
      !bool_from(decimal_comma, "decimal_comma", table_options.decimal_comma)) {
    return nullptr;
  }
  PythonInterrupt interrupt(cancel == Py_None ? nullptr : cancel, state->cancelled_error);
  const FileRef ref = input.ref();
  auto result = without_gil(interrupt, [&] {
    return survey(ref, shared, options, table_options, std::move(rows),
                  BlockLimits::from_environment(), !allow, head, interrupt);
  });
  if (result) result.value()->threads = threads;
  if (!result) return raise_error(state, result.error(), JobPaths{&input}, &interrupt);
  StreamRecord record;
  record.recipe = std::move(result.value());
  PyTypeObject* type = state->arrow_stream_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&record_of(self)) StreamRecord(std::move(record));
  reinterpret_cast<StreamObject*>(self)->head.given = Py_XNewRef(input.given.get());
  return self;
}

PyObject* arrow_stream_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
  return guarded([&] { return arrow_stream(module, args, nargsf, kwnames); });
}

}  // namespace

PyObject* stream_capsule(ArrowArrayStream* stream) {
  PyObject* capsule = PyCapsule_New(stream, kStreamCapsule, stream_capsule_destructor);
  if (capsule == nullptr) {
    stream->release(stream);
    delete stream;
  }
  return capsule;
}

int add_arrow_stream_type(PyObject* module, ModuleState* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &stream_spec, nullptr);
  if (type == nullptr) return -1;
  state->arrow_stream_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "ArrowStream", type);
}

namespace {

const char kDoc[] =
    "Reads and repairs a file as open() does (the same conversion to UTF-8, dialect\n"
    "detection, preamble and blank-line rules) and returns an ArrowStream (the Arrow\n"
    "PyCapsule protocol) of its kept rows as record batches. Each consumer of the stream\n"
    "gets the batches as the rows are read again, each handed out as soon as it is built,\n"
    "so memory is a few batches and the longest row whatever the file's length (a file of\n"
    "up to 8 MiB is held and read once). A pipe or descriptor that cannot be read twice is\n"
    "read live, as the readings ask for its rows, what is read being kept in an unnamed\n"
    "temporary file on the way, so that the stream can be read any number of times (a later\n"
    "reading reads the file, and reads on from the pipe where the earlier ones stopped). The\n"
    "source may also be another ArrowStream: the new stream, with options of its own, reads\n"
    "that stream's input again (a pipe's bytes as they are kept), not a copy of it.\n"
    "types: how each column's type is settled. 'all-rows' (the default for\n"
    "a file): this call reads every row once, with the interpreter lock released and\n"
    "keeping none, so the schema holds every value and the summary is counted before the\n"
    "first batch. 'head' (the default for a pipe): only the first 65,536 rows are read\n"
    "here; a later value its column's type does not hold (text in an int64 column, bytes\n"
    "that are not UTF-8 in a string column) makes the column string (or binary) for every\n"
    "later reading (a longer row, with expected_columns=0, adds string columns), and ends the "
    "reading that met it with an error that says so, since a\n"
    "stream's schema cannot change under its consumer (pyarrow and DuckDB read a batch by\n"
    "the schema they were given): the next reading has the widened schema from its first\n"
    "batch, and widened names the columns. Until a reading has gone through every row,\n"
    "summary, num_rows and set_aside are None. With header=True the first kept row names\n"
    "the columns (made unique and non-empty as pandas does), else they are column_1,\n"
    "column_2, .... With infer_types=True each column is int64, float64, bool, date32,\n"
    "timestamp or string where every value converts without loss; an empty field is then\n"
    "null. With infer_types=False every column holds the exact field texts. Cells missing\n"
    "from short rows (only with expected_columns=0) are null. A column with bytes that are\n"
    "not UTF-8 is binary. string_views=True gives text columns as Arrow string views (binary\n"
    "views), the form polars holds strings in. threads (an int from 1 to 256): the threads\n"
    "that build the batches, the stream's own reading thread included (by default it and\n"
    "the shared pool's threads; 1 builds them all on the reading thread). n_rows: keep\n"
    "at most this many data rows; the read stops there, and the summary counts the rows\n"
    "read. set_aside=True keeps the rows left out of the table as the bytes of a quarantine\n"
    "file (ArrowStream.set_aside, in a temporary file once large). null_values: field texts\n"
    "read as empty (null when typed) in data rows. decimal_comma=False reads no decimal\n"
    "comma (by default one is read when the delimiter is not a comma). With types='all-rows',\n"
    "a file that changes between the readings so that a value no longer fits its column's\n"
    "type ends the stream with an error, never with a wrong value.";

}  // namespace

PyMethodDef arrow_stream_method() {
  static const std::string doc = parameters().doc(kDoc);
  return {"arrow_stream", kit::as_cfunction(arrow_stream_entry), METH_FASTCALL | METH_KEYWORDS,
          doc.c_str()};
}

}  // namespace gleave::native
