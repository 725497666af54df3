#include "bindings/kit/summary.hpp"

#include <new>

namespace gleave::kit {

namespace {

PyObject* get_field(PyObject* self, void* closure) {
  return static_cast<const SummaryField*>(closure)->get(summary_record(self));
}

// The type's attributes in their order, as (name, value) through `visit`;
// false when a value could not be made or `visit` failed.
template <class Visit>
bool each_value(PyObject* self, Visit&& visit) {
  for (const PyGetSetDef* g = Py_TYPE(self)->tp_getset; g != nullptr && g->name != nullptr; ++g) {
    PyObject* value = g->get(self, g->closure);
    if (value == nullptr || !visit(g->name, value)) return false;
  }
  return true;
}

}  // namespace

PyObject* delimiter_of(const SummaryRecord& r) {
  return PyUnicode_FromOrdinal(r.delimiter);
}

void fill_summary_getset(const SummaryField* fields, std::size_t n, PyGetSetDef* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = {fields[i].name, get_field, nullptr, fields[i].doc,
              const_cast<SummaryField*>(&fields[i])};
  }
  out[n] = {nullptr, nullptr, nullptr, nullptr, nullptr};
}

void summary_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<SummaryObject*>(self)->record.~SummaryRecord();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* summary_to_dict(PyObject* self, PyObject*) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const bool filled = each_value(self, [&](const char* name, PyObject* value) {
    Ref owned(value);
    return PyDict_SetItemString(dict.get(), name, value) == 0;
  });
  return filled ? dict.release() : nullptr;
}

// Summaries are values: two with the same attributes compare equal (and
// hash alike), whichever call made them.
PyObject* summary_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  Ref mine(summary_to_dict(self, nullptr));
  if (!mine) return nullptr;
  Ref theirs(summary_to_dict(other, nullptr));
  if (!theirs) return nullptr;
  return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

Py_hash_t summary_hash(PyObject* self) {
  Ref values(PyList_New(0));
  if (!values) return -1;
  const bool filled = each_value(self, [&](const char*, PyObject* value) {
    Ref owned(value);
    return PyList_Append(values.get(), value) == 0;
  });
  if (!filled) return -1;
  Ref tuple(PyList_AsTuple(values.get()));
  return tuple ? PyObject_Hash(tuple.get()) : -1;
}

PyObject* new_summary(PyTypeObject* type, const SummaryRecord& record) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  try {
    new (&reinterpret_cast<SummaryObject*>(self)->record) SummaryRecord(record);
  } catch (...) {
    // The record was never made: free the object without destroying it.
    type->tp_free(self);
    Py_DECREF(type);
    return PyErr_NoMemory();
  }
  return self;
}

}  // namespace gleave::kit
