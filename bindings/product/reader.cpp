// GleaveReader and open(): the repaired rows of a file, in memory.
#include <cstring>
#include <new>

#include "bindings/product/native.hpp"
#include "engine/repair/row_table.hpp"
#include "engine/scan/text.hpp"

namespace gleave::native {

namespace {

struct ReaderRecord {
  RowTable rows;
  GleaveCounts counts;
  unsigned char delimiter = ',';
  std::optional<InputReport> input;
  std::uint64_t next = 0;
};

struct ReaderObject {
  PyObject ob_base;
  ReaderRecord record;
};

ReaderRecord& record_of(PyObject* self) {
  return reinterpret_cast<ReaderObject*>(self)->record;
}

// Kept rows go into the table; rejected ones are only counted.
struct TableSink {
  RowTable& rows;
  Interrupt& interrupt;
  std::uint64_t seen = 0;
  bool interrupted = false;

  bool go_on() {
    if (++seen % 1024 != 0 || !interrupt.requested()) return true;
    interrupted = true;
    return false;
  }
  void begin(unsigned char delimiter, std::uint64_t width) { rows.set_layout(delimiter, width); }
  bool keep(const Row& row, const RowVerdict&) {
    rows.push_row(row);
    return go_on();
  }
  bool keep_line(std::string_view line, bool ascii) {
    rows.push_plain_line(line, ascii);
    return go_on();
  }
  bool reject(const RowVerdict&, const Row&) { return go_on(); }
};

// Reads and repairs with the lock released; never throws.
Result<JobCounts> fill(ReaderRecord& record, const FileRef& input, const GleaveOptions& options,
                       const DialectRequest& request, bool refuse_binary, Interrupt& interrupt) {
  try {
    TableSink sink{record.rows, interrupt};
    auto out = read_with_product_pass(input, options, request, refuse_binary, interrupt, sink,
                                      [&](ByteBuffer& text, PreparedText& prepared) {
                                        // Plain rows are served from the text: the input's own
                                        // bytes, or the converted text (whose buffer moves without
                                        // moving its bytes).
                                        if (prepared.converted.size() != 0) {
                                          record.rows =
                                              RowTable(std::move(prepared.converted), ',');
                                        } else {
                                          record.rows = RowTable(std::move(text), ',');
                                        }
                                      });
    if (sink.interrupted) return IoError::from_fixed(IoFixed::Interrupted);
    if (out) record.rows.release_unused_source();
    return out;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return IoError::from_fixed(IoFixed::OutOfMemory);
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* format) {
  static const char* keywords[] = {"file_path", GLEAVE_OPTION_KEYWORDS,  "allow_binary",
                                   "cancel",    GLEAVE_DIALECT_KEYWORDS, nullptr};
  PathArg input;
  OptionArgs option_args;
  DialectArgs dialect_args;
  PyObject* allow_binary = nullptr;
  PyObject* cancel = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                   path_converter, &input, GLEAVE_OPTION_POINTERS(option_args),
                                   &allow_binary, &cancel, GLEAVE_DIALECT_POINTERS(dialect_args))) {
    return nullptr;
  }
  GleaveOptions options;
  DialectRequest request;
  bool allow = true;
  if (!dialect_from(option_args, dialect_args, options, request) ||
      !bool_from(allow_binary, "allow_binary", allow)) {
    return nullptr;
  }
  ModuleState* state = state_of_type(type);
  ReaderRecord record;
  PythonInterrupt interrupt(cancel == Py_None ? nullptr : cancel, state->cancelled_error);
  const FileRef ref = input.ref();
  auto result = without_gil(interrupt,
                            [&] { return fill(record, ref, options, request, !allow, interrupt); });
  if (!result) return raise_error(state, result.error(), JobPaths{&input}, &interrupt);
  record.counts = result.value();
  record.delimiter = result.value().delimiter;
  record.input = std::move(result.value().input);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&record_of(self)) ReaderRecord(std::move(record));
  return self;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return construct(type, args, kwargs,
                     "O&|" GLEAVE_OPTION_FORMAT "$OO" GLEAVE_DIALECT_FORMAT ":GleaveReader");
  });
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of(self).~ReaderRecord();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* reader_iter(PyObject* self) {
  return Py_NewRef(self);
}

// A str from bytes known to be valid UTF-8; ASCII goes straight in.
PyObject* field_str(std::string_view f, bool ascii) {
  const auto n = static_cast<Py_ssize_t>(f.size());
  if (n > 1 && (ascii || is_ascii(f.data(), f.size()))) {
    PyObject* s = PyUnicode_New(n, 127);
    if (s != nullptr) std::memcpy(PyUnicode_DATA(s), f.data(), f.size());
    return s;
  }
  return PyUnicode_DecodeUTF8(f.data(), n, "replace");
}

PyObject* reader_next(PyObject* self) {
  ReaderRecord& r = record_of(self);
  if (r.next >= r.rows.size()) return nullptr;
  const auto index = static_cast<std::size_t>(r.next++);
  Ref list(PyList_New(static_cast<Py_ssize_t>(r.rows.width(index))));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  bool failed = false;
  const bool ascii = r.rows.is_ascii_row(index);
  r.rows.for_each_field(index, [&](std::string_view field) {
    if (failed) return;
    PyObject* s = field_str(field, ascii);
    if (s == nullptr) {
      failed = true;
      return;
    }
    PyList_SET_ITEM(list.get(), i++, s);
  });
  return failed ? nullptr : list.release();
}

Py_ssize_t reader_len(PyObject* self) {
  return static_cast<Py_ssize_t>(record_of(self).rows.size());
}

PyObject* reader_summary(PyObject* self, void*) {
  const ReaderRecord& r = record_of(self);
  return new_summary(state_of_type(Py_TYPE(self)), r.counts, r.delimiter,
                     r.input ? &*r.input : nullptr);
}

PyObject* reader_enter(PyObject* self, PyObject*) {
  return Py_NewRef(self);
}

PyObject* reader_exit(PyObject*, PyObject* const*, Py_ssize_t) {
  Py_RETURN_FALSE;
}

PyGetSetDef reader_getset[] = {
    {"summary", reader_summary, nullptr, "The counts of the repair.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reader_methods[] = {
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_exit)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_mp_length, reinterpret_cast<void*>(reader_len)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_doc,
     const_cast<char*>(
         "GleaveReader(file_path, delimiter=None, quote_char=..., fill_ragged_rows=True, "
         "merge_overflow=True, expected_columns=None, repair_quotes=True, *, allow_binary=True, "
         "cancel=None, encoding=None, skip_initial_space=None, preamble_lines=None, "
         "escape_char=..., comment_char=...)\n--\n\n"
         "The repaired rows of a file, in memory, each a list of str. The file is read and\n"
         "repaired with the interpreter lock released. The encoding and the dialect are\n"
         "detected as for gleave_file(); lines above the table and blank lines are left out\n"
         "and counted in the summary.")},
    {Py_tp_getset, reader_getset},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "csv_gleave.GleaveReader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    reader_slots,
};

PyObject* open_reader(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return construct(state_of_module(module)->reader_type, args, kwargs,
                     "O&|" GLEAVE_OPTION_FORMAT "$OO" GLEAVE_DIALECT_FORMAT ":open");
  });
}

}  // namespace

int add_reader_type(PyObject* module, ModuleState* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &reader_spec, nullptr);
  if (type == nullptr) return -1;
  state->reader_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "GleaveReader", type);
}

PyMethodDef open_method = {
    "open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_reader)),
    METH_VARARGS | METH_KEYWORDS,
    "open(file_path, delimiter=None, quote_char=..., fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True, *, allow_binary=True, "
    "cancel=None, encoding=None, skip_initial_space=None, preamble_lines=None, "
    "escape_char=..., comment_char=...)\n--\n\n"
    "A GleaveReader over the repaired rows of a file."};

}  // namespace gleave::native
