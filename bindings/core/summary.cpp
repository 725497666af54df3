#include "bindings/core/summary.hpp"

#include <utility>

namespace gleave::py {

namespace {

using kit::count_of;

const kit::SummaryField kFields[] = {
    {"total_rows", nullptr, count_of<&GleaveCounts::total_rows>},
    {"gleaved_rows", nullptr, count_of<&GleaveCounts::gleaved_rows>},
    {"repaired_rows", nullptr, count_of<&GleaveCounts::repaired_rows>},
    {"quarantined_rows", nullptr, count_of<&GleaveCounts::quarantined_rows>},
    {"detected_delimiter", nullptr, kit::delimiter_of},
    {"inferred_columns", nullptr, count_of<&GleaveCounts::inferred_columns>},
};
constexpr std::size_t kFieldCount = sizeof kFields / sizeof kFields[0];
PyGetSetDef summary_getset[kFieldCount + 1];

PyObject* summary_repr(PyObject* self) {
  const SummaryRecord& r = kit::summary_record(self);
  Ref delimiter(kit::delimiter_of(r));  // a str, so that a NUL delimiter survives
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

PyMethodDef summary_methods[] = {
    {"to_dict", kit::summary_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot summary_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kit::summary_dealloc)},
    {Py_tp_doc, const_cast<char*>("Python-exposed summary of a gleave operation.")},
    {Py_tp_getset, summary_getset},
    {Py_tp_methods, summary_methods},
    {0, nullptr},
};

PyType_Spec summary_spec = {
    "builtins.GleaveSummary",
    sizeof(kit::SummaryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    summary_slots,
};

PyTypeObject* g_summary_type = nullptr;

}  // namespace

SummaryRecord summary_from(const GleaveCounts& counts, unsigned char delimiter) {
  SummaryRecord r;
  static_cast<GleaveCounts&>(r) = counts;
  r.delimiter = delimiter;
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
  if (g_summary_type == nullptr) kit::fill_summary_getset(kFields, kFieldCount, summary_getset);
  return create_class_once(g_summary_type, &summary_spec, "GleaveSummary");
}

PyObject* new_summary(const SummaryRecord& record) {
  PyTypeObject* type = summary_type();
  if (type == nullptr) return nullptr;
  return kit::new_summary(type, record);
}

}  // namespace gleave::py
