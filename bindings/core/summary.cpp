#include "bindings/core/summary.hpp"

#include <new>
#include <utility>

namespace gleave::py {

namespace {

struct SummaryObject {
  PyObject ob_base;  // PyObject_HEAD
  PyGleaveSummary record;
};

PyGleaveSummary& record_of(PyObject* self) {
  return reinterpret_cast<SummaryObject*>(self)->record;
}

void summary_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of(self).~PyGleaveSummary();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* delimiter_str(const PyGleaveSummary& r) {
  return PyUnicode_FromStringAndSize(r.detected_delimiter.data(),
                                     static_cast<Py_ssize_t>(r.detected_delimiter.size()));
}

template <std::uint64_t PyGleaveSummary::*Field>
PyObject* get_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).*Field);
}

PyObject* get_delimiter(PyObject* self, void*) {
  return delimiter_str(record_of(self));
}

PyObject* summary_to_dict(PyObject* self, PyObject*) {
  const PyGleaveSummary& r = record_of(self);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, Ref> items[] = {
      {"total_rows", Ref(PyLong_FromUnsignedLongLong(r.total_rows))},
      {"gleaved_rows", Ref(PyLong_FromUnsignedLongLong(r.gleaved_rows))},
      {"repaired_rows", Ref(PyLong_FromUnsignedLongLong(r.repaired_rows))},
      {"quarantined_rows", Ref(PyLong_FromUnsignedLongLong(r.quarantined_rows))},
      {"detected_delimiter", Ref(delimiter_str(r))},
      {"inferred_columns", Ref(PyLong_FromUnsignedLongLong(r.inferred_columns))},
  };
  for (const auto& [key, value] : items) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* summary_repr(PyObject* self) {
  const PyGleaveSummary& r = record_of(self);
  Ref delimiter(delimiter_str(r));  // a str, so that a NUL delimiter survives
  if (!delimiter) return nullptr;
  return PyUnicode_FromFormat(
      "<GleaveSummary total_rows=%llu gleaved_rows=%llu repaired_rows=%llu "
      "quarantined_rows=%llu delimiter='%U' inferred_columns=%llu>",
      static_cast<unsigned long long>(r.total_rows),
      static_cast<unsigned long long>(r.gleaved_rows),
      static_cast<unsigned long long>(r.repaired_rows),
      static_cast<unsigned long long>(r.quarantined_rows), delimiter.get(),
      static_cast<unsigned long long>(r.inferred_columns));
}

PyGetSetDef summary_getset[] = {
    {"total_rows", get_count<&PyGleaveSummary::total_rows>, nullptr, nullptr, nullptr},
    {"gleaved_rows", get_count<&PyGleaveSummary::gleaved_rows>, nullptr, nullptr, nullptr},
    {"repaired_rows", get_count<&PyGleaveSummary::repaired_rows>, nullptr, nullptr, nullptr},
    {"quarantined_rows", get_count<&PyGleaveSummary::quarantined_rows>, nullptr, nullptr, nullptr},
    {"detected_delimiter", get_delimiter, nullptr, nullptr, nullptr},
    {"inferred_columns", get_count<&PyGleaveSummary::inferred_columns>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef summary_methods[] = {
    {"to_dict", summary_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot summary_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(summary_dealloc)},
    {Py_tp_doc, const_cast<char*>("Python-exposed summary of a gleave operation.")},
    {Py_tp_getset, summary_getset},
    {Py_tp_methods, summary_methods},
    {0, nullptr},
};

PyType_Spec summary_spec = {
    "builtins.GleaveSummary",
    sizeof(SummaryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    summary_slots,
};

PyTypeObject* g_summary_type = nullptr;

}  // namespace

PyGleaveSummary summary_from(const GleaveCounts& counts, char32_t delimiter) {
  PyGleaveSummary r;
  r.total_rows = counts.total_rows;
  r.gleaved_rows = counts.gleaved_rows;
  r.repaired_rows = counts.repaired_rows;
  r.quarantined_rows = counts.quarantined_rows;
  r.detected_delimiter = byte_char(static_cast<unsigned char>(delimiter));
  r.inferred_columns = counts.inferred_columns;
  return r;
}

PyTypeObject* create_class_once(PyTypeObject*& cache, PyType_Spec* spec, const char* name) {
  if (cache != nullptr) return cache;
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) {
    Ref cause = take_exception();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
    Ref error = take_exception();
    if (error) PyException_SetCause(error.get(), cause.release());  // steals the cause
    restore_exception(std::move(error));
    return nullptr;
  }
  cache = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
  return cache;
}

PyTypeObject* summary_type() {
  return create_class_once(g_summary_type, &summary_spec, "GleaveSummary");
}

PyObject* new_summary(PyGleaveSummary&& record) {
  PyTypeObject* type = summary_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;  // the record is released by its owner
  new (&record_of(self)) PyGleaveSummary(std::move(record));
  return self;
}

}  // namespace gleave::py
