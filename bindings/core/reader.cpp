// GleaveReader and open(): the repaired rows of a file, in memory, through
// the kit's reader. The file is read whole and repaired by the core's pass.
#include "bindings/core/module.hpp"  // Python.h comes first, before any standard header.

#include <cerrno>
#include <string>
#include <utility>

#include "bindings/core/arguments.hpp"
#include "bindings/core/summary.hpp"
#include "bindings/kit/reader.hpp"

namespace gleave::py {

namespace {

const char* const kParams[] = {"file_path", GLEAVE_CORE_OPTION_PARAMS};
const Signature kNewSignature{"GleaveReader.__new__()", kParams, 7, 1};
const Signature kOpenSignature{"open()", kParams, 7, 1};
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
PyObject* reader_impl(PyTypeObject* type, const std::string& path, const Dialect& options) {
  kit::ReaderRecord record;
  {
    auto input = read_file(path);
    if (!input) return raise_file_error(input.error());
    // The outcome keeps the input bytes: unchanged rows are served from them.
    GleaveOutcome outcome = gleave_slice(std::move(input.value()), options);
    record.summary = summary_from(outcome, static_cast<unsigned char>(outcome.delimiter));
    record.rows = std::move(outcome.rows);
    // The reader keeps no quarantine: the text stays only for plain rows.
    record.rows.release_unused_source();
  }
  return kit::new_reader(type, std::move(record));
}

PyObject* construct(PyTypeObject* type, PyObject** bound) {
  std::string path;
  if (!convert_str(bound[0], "file_path", path)) return nullptr;
  Dialect options;
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

PyObject* reader_summary(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return new_summary(kit::reader_record(self).summary); });
}

PyGetSetDef reader_getset[] = {
    {"summary", reader_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reader_methods[] = {
    {"__enter__", kit::reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", kit::as_cfunction(kit::reader_exit), METH_FASTCALL | METH_KEYWORDS,
     kit::kReaderExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(kit::reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(kit::reader_next)},
    {Py_mp_length, reinterpret_cast<void*>(kit::reader_len)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kit::reader_dealloc)},
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
    "builtins.GleaveReader", sizeof(kit::ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots,
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
