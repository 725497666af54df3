#include "bindings/kit/reader.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "bindings/kit/arguments.hpp"
#include "engine/scan/text.hpp"

namespace gleave::kit {

namespace {

const char* const kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};
const Signature kExitSignature{"GleaveReader.__exit__()", kExitParams, 3, 0};

}  // namespace

const char kReaderExitDoc[] =
    "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n";

PyObject* new_reader(PyTypeObject* type, ReaderRecord&& record) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reader_record(self)) ReaderRecord(std::move(record));  // moves never throw
  return self;
}

PyObject* field_str(std::string_view f, bool ascii) {
  const auto* p = reinterpret_cast<const unsigned char*>(f.data());
  const auto n = static_cast<Py_ssize_t>(f.size());
  if (n <= 1) return PyUnicode_DecodeUTF8(f.data(), n, "replace");  // CPython's shared singletons
  if (ascii || is_ascii(f.data(), f.size())) {
    PyObject* s = PyUnicode_New(n, 127);
    if (s != nullptr) std::memcpy(PyUnicode_DATA(s), p, f.size());
    return s;
  }
  // Leads C2 and C3 encode U+0080 to U+00FF, each followed by one
  // continuation byte; any other text goes through CPython's decoder.
  Py_ssize_t chars = 0;
  bool latin1 = true;
  for (Py_ssize_t i = 0; i < n && latin1; ++i, ++chars) {
    if (p[i] < 0x80) continue;
    latin1 = (p[i] == 0xC2 || p[i] == 0xC3) && i + 1 < n && (p[i + 1] & 0xC0) == 0x80;
    ++i;
  }
  if (!latin1) return PyUnicode_DecodeUTF8(f.data(), n, "replace");
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

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reader_record(self).~ReaderRecord();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* reader_iter(PyObject* self) {
  return Py_NewRef(self);
}

PyObject* reader_next(PyObject* self) {
  ReaderRecord& r = reader_record(self);
  if (r.next >= r.rows.size()) return nullptr;  // exhausted, no exception
  const auto index = static_cast<std::size_t>(r.next++);
  Ref list(PyList_New(static_cast<Py_ssize_t>(r.rows.width(index))));
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
  return static_cast<Py_ssize_t>(reader_record(self).rows.size());
}

PyObject* reader_enter(PyObject* self, PyObject*) {
  return Py_NewRef(self);
}

PyObject* reader_exit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* bound[3];
  if (!bind_fastcall(kExitSignature, args, nargsf, kwnames, bound)) return nullptr;
  Py_RETURN_FALSE;
}

void fill_reader_type(ReaderType& t, newfunc make, const char* doc, getter summary,
                      const char* summary_doc) {
  t.getset[0] = {"summary", summary, nullptr, summary_doc, nullptr};
  t.getset[1] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  t.methods[0] = {"__enter__", reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"};
  t.methods[1] = {"__exit__", as_cfunction(reader_exit), METH_FASTCALL | METH_KEYWORDS,
                  kReaderExitDoc};
  t.methods[2] = {nullptr, nullptr, 0, nullptr};
  const PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(make)},
      {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
      {Py_mp_length, reinterpret_cast<void*>(reader_len)},
      {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_getset, t.getset},
      {Py_tp_methods, t.methods},
      {0, nullptr},
  };
  static_assert(sizeof slots == sizeof t.slots);
  std::memcpy(t.slots, slots, sizeof slots);
}

}  // namespace gleave::kit
