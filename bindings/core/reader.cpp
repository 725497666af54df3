// GleaveReader and open(): the repaired rows of a file, in memory.
// Python.h comes first, before any standard header.
#include "bindings/core/common.hpp"

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "bindings/core/arguments.hpp"
#include "bindings/core/module.hpp"
#include "bindings/core/summary.hpp"

namespace gleave::py {

namespace {

struct PyGleaveReader {
  RowTable rows;
  PyGleaveSummary summary;
  std::uint64_t next_index = 0;
};

struct ReaderObject {
  PyObject ob_base;  // PyObject_HEAD
  PyGleaveReader record;
};

PyGleaveReader& record_of(PyObject* self) {
  return reinterpret_cast<ReaderObject*>(self)->record;
}

const char* const kParams[] = {"file_path", GLEAVE_OPTION_PARAMS};
const Signature kNewSignature{"GleaveReader.__new__()", kParams, 7, 1};
const Signature kOpenSignature{"open()", kParams, 7, 1};

const char* const kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};
const Signature kExitSignature{"GleaveReader.__exit__()", kExitParams, 3, 0};

// The reader reports file errors with the errno-specific OSError subclass.
PyObject* exception_for(const IoError& error) {
  if (error.fixed == IoFixed::OutOfMemory) return PyExc_MemoryError;
  if (error.fixed != IoFixed::None) return PyExc_OSError;
  switch (error.code) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case EINTR: return PyExc_InterruptedError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ENOMEM: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

PyObject* raise_file_error(const GleaveError& error) {
  const IoError* io = error.io();
  if (io == nullptr) return raise_gleave_error(error);
  const std::string text = io->text();
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(exception_for(*io), message.get());
  return nullptr;
}

// Reads the file, runs the pass once and wraps the rows in a new reader.
PyObject* reader_impl(PyTypeObject* type, const std::string& path, const GleaveOptions& options) {
  PyGleaveReader record;
  {
    auto input = read_file(path);
    if (!input) return raise_file_error(input.error());
    // The outcome keeps the input bytes: unchanged rows are served from them.
    GleaveOutcome outcome = gleave_slice(std::move(input.value()), options);
    record.summary = summary_from(outcome, outcome.delimiter);
    record.rows = std::move(outcome.rows);
    // The reader keeps no quarantine: the text stays only for plain rows.
    record.rows.release_unused_source();
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&record_of(self)) PyGleaveReader(std::move(record));
  return self;
}

PyObject* construct(PyTypeObject* type, PyObject** bound) {
  std::string path;
  if (!convert_str(bound[0], "file_path", path)) return nullptr;
  GleaveOptions options;
  if (!convert_options(bound + 1, options)) return nullptr;
  return reader_impl(type, path, options);
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[7];
    if (!bind_tuple_dict(kNewSignature, args, kwargs, bound)) return nullptr;
    return construct(type, bound);
  });
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of(self).~PyGleaveReader();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* reader_iter(PyObject* self) {
  return Py_NewRef(self);
}

// A str from bytes known to be valid UTF-8. ASCII and Latin-1 text (the bulk
// of most files) is written straight into a one-byte-per-character str;
// anything else goes through CPython's decoder.
PyObject* field_str(std::string_view f, bool ascii) {
  const auto* p = reinterpret_cast<const unsigned char*>(f.data());
  const auto n = static_cast<Py_ssize_t>(f.size());
  if (n <= 1) return PyUnicode_DecodeUTF8(f.data(), n, nullptr);  // CPython's shared singletons
  if (ascii || is_ascii(f.data(), f.size())) {
    PyObject* s = PyUnicode_New(n, 127);
    if (s != nullptr) std::memcpy(PyUnicode_DATA(s), p, f.size());
    return s;
  }
  Py_ssize_t chars = 0;
  bool latin1 = true;
  for (Py_ssize_t i = 0; i < n; ++i) {
    chars += (p[i] & 0xC0) != 0x80;
    latin1 = latin1 && p[i] < 0xC4;  // leads C2 and C3 encode U+0080 to U+00FF
  }
  if (!latin1) return PyUnicode_DecodeUTF8(f.data(), n, nullptr);
  PyObject* s = PyUnicode_New(chars, 255);
  if (s == nullptr) return nullptr;
  Py_UCS1* out = PyUnicode_1BYTE_DATA(s);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (p[i] < 0x80) {
      *out++ = p[i];
    } else {
      *out++ = static_cast<Py_UCS1>(((p[i] & 0x1F) << 6) | (p[i + 1] & 0x3F));
      ++i;
    }
  }
  return s;
}

PyObject* reader_next(PyObject* self) {
  PyGleaveReader& r = record_of(self);
  if (r.next_index >= r.rows.size()) return nullptr;  // exhausted, no exception
  const std::size_t index = static_cast<std::size_t>(r.next_index++);
  const std::size_t width = r.rows.width(index);
  Ref list(PyList_New(static_cast<Py_ssize_t>(width)));
  if (!list) return nullptr;
  Py_ssize_t f = 0;
  bool failed = false;
  const bool ascii = r.rows.is_ascii_row(index);
  r.rows.for_each_field(index, [&](std::string_view field) {
    if (failed) return;
    PyObject* s = field_str(field, ascii);
    if (s == nullptr) {
      failed = true;
      return;
    }
    PyList_SET_ITEM(list.get(), f++, s);  // steals s
  });
  return failed ? nullptr : list.release();
}

Py_ssize_t reader_len(PyObject* self) {
  return static_cast<Py_ssize_t>(record_of(self).rows.size());
}

PyObject* reader_summary(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    PyGleaveSummary copy = record_of(self).summary;
    return new_summary(std::move(copy));
  });
}

PyObject* reader_enter(PyObject* self, PyObject*) {
  return Py_NewRef(self);
}

PyObject* reader_exit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* bound[3];
  if (!bind_fastcall(kExitSignature, args, nargsf, kwnames, bound)) return nullptr;
  Py_RETURN_FALSE;
}

PyGetSetDef reader_getset[] = {
    {"summary", reader_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reader_methods[] = {
    {"__enter__", reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_exit)),
     METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
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
         "GleaveReader(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
         "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
         "In-memory streaming reader iterating over gleaved rows.")},
    {Py_tp_getset, reader_getset},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "builtins.GleaveReader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots,
};

PyTypeObject* g_reader_type = nullptr;

}  // namespace

PyTypeObject* reader_type() {
  return create_class_once(g_reader_type, &reader_spec, "GleaveReader");
}

PyObject* open_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[7];
    if (!bind_fastcall(kOpenSignature, args, nargsf, kwnames, bound)) return nullptr;
    PyTypeObject* type = reader_type();
    if (type == nullptr) return nullptr;
    return construct(type, bound);
  });
}

}  // namespace gleave::py
