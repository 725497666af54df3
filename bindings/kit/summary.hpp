// GleaveSummary, the counts of a repair shown to Python, as both modules
// build it: one record, one object layout and one set of slots. Each module
// lists its own attributes (SummaryField) and writes its own repr; to_dict,
// == and hash follow the attributes of the object's type.
#pragma once

#include "bindings/kit/python.hpp"  // Python.h comes first, before any standard header.

#include <cstddef>

#include "engine/io/job.hpp"

namespace gleave::kit {

// What a summary holds: the counts, the delimiter in force and, from the
// product pass, how the input was read.
using SummaryRecord = JobCounts;

struct SummaryObject {
  PyObject ob_base;  // PyObject_HEAD
  SummaryRecord record;
};

inline const SummaryRecord& summary_record(PyObject* self) {
  return reinterpret_cast<SummaryObject*>(self)->record;
}

// One attribute: its name, its doc (nullptr: none) and how it is read.
struct SummaryField {
  const char* name;
  const char* doc;
  PyObject* (*get)(const SummaryRecord&);
};

// The getters of the counts every summary has.
template <std::uint64_t GleaveCounts::*Field>
PyObject* count_of(const SummaryRecord& r) {
  return PyLong_FromUnsignedLongLong(r.*Field);
}
// The delimiter as a one-character str (a code point from 0 to 255).
PyObject* delimiter_of(const SummaryRecord& r);

// Fills `out[0..n]` (n + 1 entries, the last the end mark) from the fields.
void fill_summary_getset(const SummaryField* fields, std::size_t n, PyGetSetDef* out);

// Slots shared by both summary types.
void summary_dealloc(PyObject* self);
PyObject* summary_to_dict(PyObject* self, PyObject*);
PyObject* summary_richcompare(PyObject* self, PyObject* other, int op);
Py_hash_t summary_hash(PyObject* self);

// A new summary of `type` holding the record; NULL with MemoryError set.
PyObject* new_summary(PyTypeObject* type, const SummaryRecord& record);

}  // namespace gleave::kit
