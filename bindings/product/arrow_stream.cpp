// arrow_stream(): the repaired rows of a file as an Arrow table, built in
// C++ with the interpreter lock released and handed to pyarrow, polars,
// pandas or DuckDB through the Arrow PyCapsule protocol.
//
// The table is built once and kept, immutable, behind a shared pointer.
// Each __arrow_c_stream__ call exports a fresh stream whose arrays point
// into those buffers and hold a reference to them, so the object can be
// consumed any number of times (DuckDB asks again for every query) without
// copying, and the buffers live until the last consumer releases its
// arrays, whichever thread that happens on.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "bindings/product/native.hpp"
#include "engine/io/writers.hpp"
#include "engine/repair/pass.hpp"
#include "engine/scan/text.hpp"
#include "engine/table/parallel_builder.hpp"
#include "engine/table/table_builder.hpp"
#include "engine/table/thread_pool.hpp"

namespace gleave::native {

namespace {

using table::ArrowColumn;
using table::ArrowTable;
using table::ParallelTableBuilder;
using table::SharedTable;
using table::TableOptions;

// The threads that build a table, the caller's included: as the caller
// asks, or every thread of the shared pool (which every table being built
// shares, so that two files read at once do not fight over the cores).
unsigned build_threads(unsigned requested) {
  return requested != 0 ? requested : table::ThreadPool::shared().size() + 1;
}

// Kept rows go to the builder, which notes where each line is (copying the
// fields of the rows the pass had to split itself) and builds blocks of
// them on other threads while the pass goes on; rejected rows are only
// counted, as open() counts them.
// What the caller asked of the rows beyond the table's options.
struct RowRequest {
  std::optional<std::uint64_t> limit;    // data rows to keep; the pass stops there
  std::vector<std::string> null_values;  // fields read as empty (so null when typed)
  bool keep_set_aside = false;           // collect the quarantine file's text
};

struct BuilderSink : SetAsideByReason<BuilderSink> {
  BuilderSink(const TableOptions& o, unsigned t, Interrupt& i, const RowRequest& r)
      : options(o), threads(t), interrupt(i), request(r) {}
  TableOptions options;
  unsigned threads;  // as given to arrow_stream(threads=...); 0: chosen here
  Interrupt& interrupt;
  const RowRequest& request;
  // The set-aside rows as the quarantine file holds them (keep_set_aside).
  std::string set_aside_text;
  std::uint64_t kept = 0;  // rows given to the builder, header rows included
  Row split;               // a plain line's fields, when null spellings are looked for
  // The text the pass reads, kept until every line noted in it is built.
  // Declared before the builder, whose helpers read it until they stop.
  ByteBuffer text;
  std::size_t given_back = 0;  // bytes at its start whose pages went back
  std::optional<ParallelTableBuilder> builder;
  unsigned char delimiter = ',';
  std::uint64_t seen = 0;
  bool interrupted = false;

  bool go_on() {
    if (++seen % 1024 != 0 || !interrupt.requested()) return true;
    interrupted = true;
    return false;
  }
  // A header of several rows is combined into one name per column; told
  // before begin, which makes the builder.
  void header_rows(std::uint32_t n) { options.header_rows = n; }
  void begin(unsigned char d, std::uint64_t) {
    delimiter = d;
    // A decimal comma is only unambiguous when the comma does not split
    // fields, which is known once the delimiter is settled.
    options.decimal_comma = options.decimal_comma && d != ',';
    builder.emplace(options, build_threads(threads));
    builder->on_text_done([this](const char* needed) { give_back_before(needed); });
  }
  // The text before `needed` is read no more (by the pass, which is past it,
  // nor by the builder): its pages go back to the system while the columns
  // grow, so that the text and the table are not both held whole. A margin
  // stays, for any look behind the row start.
  void give_back_before(const char* needed) {
    if (!text.mapped()) return;
    const char* begin = text.data();
    if (needed < begin || needed > begin + text.size()) return;
    constexpr std::size_t kPage = 4096;
    constexpr std::size_t kMargin = std::size_t{1} << 20;
    const auto upto = static_cast<std::size_t>(needed - begin);
    if (upto < kMargin) return;
    const std::size_t end = (upto - kMargin) / kPage * kPage;
    if (end <= given_back) return;
    if (::madvise(text.data() + given_back, end - given_back, MADV_DONTNEED) == 0) given_back = end;
  }
  // keep(row) and keep(row, verdict): the pass may or may not say why.
  // Header rows name columns: null spellings and the row limit are for data.
  bool in_header() const {
    return options.header && kept < std::max<std::size_t>(options.header_rows, 1);
  }
  bool is_null_spelling(std::string_view field) const {
    return std::find(request.null_values.begin(), request.null_values.end(), field) !=
           request.null_values.end();
  }
  // True once the rows asked for are kept: the pass then ends as a
  // finished one (not an interrupted one), before or after a row.
  bool full() {
    if (!request.limit) return false;
    const std::uint64_t header = options.header ? std::max<std::size_t>(options.header_rows, 1) : 0;
    limit_reached = kept >= *request.limit + header;
    return limit_reached;
  }
  bool counted() {
    ++kept;
    return !full() && go_on();
  }
  template <class... Why>
  bool keep(const Row& row, const Why&...) {
    if (full()) return false;  // no data rows were asked for
    const bool nulls = !request.null_values.empty() && !in_header();
    // An all-ASCII row spares the builder a UTF-8 check per field.
    builder->append_row_with(
        [&](auto&& visit) {
          for (std::size_t i = 0; i < row.size(); ++i) {
            const std::string_view field = row.field(i);
            visit(nulls && is_null_spelling(field) ? std::string_view() : field);
          }
        },
        is_ascii(row.bytes.data(), row.bytes.size()));
    return counted();
  }
  bool keep_line(std::string_view line, bool ascii) {
    if (full()) return false;
    if (!request.null_values.empty() && !in_header()) {
      split_plain_line(line, delimiter, split);
      return keep(split);
    }
    builder->append_line(line, delimiter, ascii);
    return counted();
  }
  bool set_aside(std::uint64_t number, std::string_view reason, std::string_view raw) {
    if (request.keep_set_aside) append_raw_quarantine_line(set_aside_text, number, reason, raw);
    return go_on();
  }
  bool limit_reached = false;
};

struct BuiltTable {
  ArrowTable table;
  JobCounts counts;
  std::optional<std::string> set_aside;  // the quarantine file's text, when asked for
};

// Reads, repairs and builds with the lock released; never throws. The file
// is read and the product pass run exactly as open() does, so every loader
// keeps the same rows.
Result<BuiltTable> build(const FileRef& input, const GleaveOptions& options,
                         const DialectRequest& request, const TableOptions& table_options,
                         const RowRequest& rows, unsigned threads, bool refuse_binary,
                         Interrupt& interrupt) {
  try {
    BuilderSink sink(table_options, threads, interrupt, rows);
    if (rows.keep_set_aside) sink.set_aside_text.assign(kQuarantineHeader);
    // The sink keeps the buffer the pass reads (the input, or its UTF-8
    // conversion; the other goes before the pass) until the blocks noting
    // its lines are built.
    auto counts = read_with_product_pass(
        input, options, request, refuse_binary, interrupt, sink,
        [&](ByteBuffer& raw, PreparedText& prepared) {
          const std::string_view in = raw.view();
          const char* at = prepared.text.data();
          const bool views_raw = !in.empty() && at >= in.data() && at <= in.data() + in.size();
          sink.text = std::move(views_raw ? raw : prepared.converted);
        });
    if (!counts) return std::move(counts.error());
    if (sink.interrupted || interrupt.requested()) return IoError::from_fixed(IoFixed::Interrupted);
    if (!sink.builder) sink.builder.emplace(sink.options, 1u);  // an empty text
    sink.builder->wait();
    // The text goes before the columns are finished.
    sink.text = ByteBuffer();
    BuiltTable out;
    out.table = sink.builder->finish();
    out.counts = std::move(counts.value());
    if (rows.keep_set_aside) out.set_aside = std::move(sink.set_aside_text);
    return out;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return IoError::from_fixed(IoFixed::OutOfMemory);
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
  SharedTable table;
  GleaveCounts counts;
  unsigned char delimiter = ',';
  std::optional<InputReport> input;
  std::optional<std::string> set_aside;
};

struct StreamObject {
  PyObject ob_base;
  StreamRecord record;
};

StreamRecord& record_of(PyObject* self) {
  return reinterpret_cast<StreamObject*>(self)->record;
}

void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of(self).~StreamRecord();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* stream_export(PyObject* self, PyObject* args, PyObject* kwargs) {
  // A requested schema is a wish the protocol lets a producer decline: the
  // types here are already the ones inferred, and a consumer casts itself.
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                   const_cast<char**>(keywords), &requested)) {
    return nullptr;
  }
  auto* stream = new (std::nothrow) ArrowArrayStream{};
  if (stream == nullptr) return PyErr_NoMemory();
  if (table::export_stream(record_of(self).table, stream) != 0) {
    delete stream;
    return PyErr_NoMemory();
  }
  PyObject* capsule = PyCapsule_New(stream, kStreamCapsule, stream_capsule_destructor);
  if (capsule == nullptr) {
    stream->release(stream);
    delete stream;
  }
  return capsule;
}

PyObject* schema_export(PyObject* self, PyObject*) {
  auto* schema = new (std::nothrow) ArrowSchema{};
  if (schema == nullptr) return PyErr_NoMemory();
  if (record_of(self).table->export_schema(schema) != 0) {
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
  return PyLong_FromLongLong(record_of(self).table->num_rows());
}

PyObject* stream_num_columns(PyObject* self, void*) {
  return PyLong_FromSize_t(record_of(self).table->num_columns());
}

PyObject* stream_column_names(PyObject* self, void*) {
  const ArrowTable& t = *record_of(self).table;
  Ref list(PyList_New(static_cast<Py_ssize_t>(t.num_columns())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < t.num_columns(); ++i) {
    const std::string& name = t.column(i).name;
    // Names are valid UTF-8: repaired header cells carry U+FFFD.
    PyObject* s =
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

PyObject* stream_names_repaired(PyObject* self, void*) {
  return PyLong_FromSize_t(record_of(self).table->names_repaired());
}

PyObject* stream_summary(PyObject* self, void*) {
  const StreamRecord& r = record_of(self);
  return new_summary(state_of_type(Py_TYPE(self)), r.counts, r.delimiter,
                     r.input ? &*r.input : nullptr);
}

PyObject* stream_set_aside(PyObject* self, void*) {
  const StreamRecord& r = record_of(self);
  if (!r.set_aside) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(r.set_aside->data(),
                                   static_cast<Py_ssize_t>(r.set_aside->size()));
}

PyObject* stream_repr(PyObject* self) {
  const ArrowTable& t = *record_of(self).table;
  return PyUnicode_FromFormat("<csv_gleave.ArrowStream: %lld rows, %zu columns>",
                              static_cast<long long>(t.num_rows()), t.num_columns());
}

PyGetSetDef stream_getset[] = {
    {"num_rows", stream_num_rows, nullptr, "The number of data rows.", nullptr},
    {"num_columns", stream_num_columns, nullptr, "The number of columns.", nullptr},
    {"column_names", stream_column_names, nullptr, "The column names, in order.", nullptr},
    {"names_repaired", stream_names_repaired, nullptr,
     "How many header names held bytes that are not UTF-8 and were named with U+FFFD in "
     "their place (the column's values are left as they are).",
     nullptr},
    {"summary", stream_summary, nullptr, "The counts of the repair.", nullptr},
    {"set_aside", stream_set_aside, nullptr,
     "With set_aside=True: the rows kept out of the table (quarantined, preamble, other "
     "tables, footnotes, repeated headers) as the bytes of a quarantine file, as gleave_file "
     "writes one; else None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef stream_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_export)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "A PyCapsule 'arrow_array_stream' of the table's record batches, in row order. May be\n"
     "called any number of times: every stream shares the same buffers. requested_schema\n"
     "is ignored."},
    {"__arrow_c_schema__", schema_export, METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nA PyCapsule 'arrow_schema': a struct with one field per "
     "column."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {Py_tp_doc,
     const_cast<char*>(
         "The repaired rows of a file as an Arrow table, built by arrow_stream().\n"
         "Implements the Arrow PyCapsule protocol: pyarrow.table(s), polars.DataFrame(s)\n"
         "and DuckDB (FROM s) read it without a copy, as often as they like.")},
    {Py_tp_getset, stream_getset},
    {Py_tp_methods, stream_methods},
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

PyObject* arrow_stream(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {
      "source",    GLEAVE_OPTION_KEYWORDS,  "header",        "infer_types", "allow_binary",
      "cancel",    GLEAVE_DIALECT_KEYWORDS, "string_views",  "threads",     "n_rows",
      "set_aside", "null_values",           "decimal_comma", nullptr};
  PathArg input;
  OptionArgs option_args;
  DialectArgs dialect_args;
  PyObject* header = nullptr;
  PyObject* infer_types = nullptr;
  PyObject* allow_binary = nullptr;
  PyObject* cancel = Py_None;
  PyObject* string_views = nullptr;
  PyObject* threads_arg = Py_None;
  PyObject* n_rows = Py_None;
  PyObject* set_aside = nullptr;
  PyObject* null_values = Py_None;
  PyObject* decimal_comma = nullptr;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs,
          "O&|$" GLEAVE_OPTION_FORMAT "OOOO" GLEAVE_DIALECT_FORMAT "OOOOOO:arrow_stream",
          const_cast<char**>(keywords), path_converter, &input, GLEAVE_OPTION_POINTERS(option_args),
          &header, &infer_types, &allow_binary, &cancel, GLEAVE_DIALECT_POINTERS(dialect_args),
          &string_views, &threads_arg, &n_rows, &set_aside, &null_values, &decimal_comma)) {
    return nullptr;
  }
  RowRequest rows;
  if (!row_request_from(n_rows, set_aside, null_values, rows)) return nullptr;
  unsigned threads = 0;
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
  GleaveOptions options;
  DialectRequest request;
  TableOptions table_options;
  table_options.decimal_comma = true;  // kept only when the delimiter is not a comma
  bool allow = true;
  if (!dialect_from(option_args, dialect_args, options, request) ||
      !bool_from(header, "header", table_options.header) ||
      !bool_from(infer_types, "infer_types", table_options.infer_types) ||
      !bool_from(allow_binary, "allow_binary", allow) ||
      !bool_from(string_views, "string_views", table_options.string_views) ||
      !bool_from(decimal_comma, "decimal_comma", table_options.decimal_comma)) {
    return nullptr;
  }
  ModuleState* state = state_of_module(module);
  PythonInterrupt interrupt(cancel == Py_None ? nullptr : cancel, state->cancelled_error);
  const FileRef ref = input.ref();
  auto result = without_gil(interrupt, [&] {
    return build(ref, options, request, table_options, rows, threads, !allow, interrupt);
  });
  if (!result) return raise_error(state, result.error(), JobPaths{&input}, &interrupt);
  StreamRecord record;
  record.table = std::make_shared<const ArrowTable>(std::move(result.value().table));
  record.counts = result.value().counts;
  record.delimiter = result.value().counts.delimiter;
  record.input = std::move(result.value().counts.input);
  record.set_aside = std::move(result.value().set_aside);
  PyTypeObject* type = state->arrow_stream_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&record_of(self)) StreamRecord(std::move(record));
  return self;
}

PyObject* arrow_stream_entry(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return arrow_stream(module, args, kwargs); });
}

}  // namespace

int add_arrow_stream_type(PyObject* module, ModuleState* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &stream_spec, nullptr);
  if (type == nullptr) return -1;
  state->arrow_stream_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "ArrowStream", type);
}

PyMethodDef arrow_stream_method = {
    "arrow_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_stream_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "arrow_stream(source, *, delimiter=None, quote_char=..., fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True, header=True, "
    "infer_types=True, allow_binary=True, cancel=None, encoding=None, "
    "skip_initial_space=None, preamble_lines=None, escape_char=..., comment_char=..., "
    "string_views=False, threads=None, n_rows=None, set_aside=False, null_values=None, "
    "decimal_comma=True)\n--\n\n"
    "Reads and repairs a file as open() does (the same conversion to UTF-8, dialect\n"
    "detection, preamble and blank-line rules) and builds its kept rows into an Arrow table\n"
    "with the interpreter lock released. Returns an ArrowStream (the Arrow PyCapsule\n"
    "protocol). With header=True the first kept row names the columns (made unique and\n"
    "non-empty as pandas does), else they are column_1, column_2, .... With\n"
    "infer_types=True each column is int64, float64, bool, date32, timestamp or string where\n"
    "every value converts without loss; an empty field is then null. With infer_types=False\n"
    "every column holds the exact field texts. Cells missing from short rows (only with\n"
    "expected_columns=0) are null. A column with bytes that are not UTF-8 is binary.\n"
    "string_views=True gives text columns as Arrow string views (binary views), the form\n"
    "polars holds strings in: polars then takes them without converting them.\n"
    "threads: how many threads build the table, the calling one included; None (the\n"
    "default) uses the cores, shared with the other tables being built in the process;\n"
    "1 builds in the calling thread alone (for callers that run many reads at once).\n"
    "n_rows: keep at most this many data rows; the read stops there, and the summary counts\n"
    "the rows read. set_aside=True keeps the rows left out of the table as the bytes of a\n"
    "quarantine file (ArrowStream.set_aside). null_values: field texts read as empty (null\n"
    "when typed) in data rows. decimal_comma=False reads no decimal comma (by default one\n"
    "is read when the delimiter is not a comma)."};

}  // namespace gleave::native
