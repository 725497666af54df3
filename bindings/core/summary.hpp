// The core's GleaveSummary: the kit's summary with the core's six
// attributes, no docs on them, a repr that shows the delimiter as it is,
// and comparison by identity.
#pragma once

#include "bindings/core/module.hpp"
#include "bindings/kit/summary.hpp"
#include "engine/gleave.hpp"

namespace gleave::py {

using kit::SummaryRecord;

// The counts unchanged, and the delimiter (a code point from 0 to 255).
SummaryRecord summary_from(const GleaveCounts& counts, unsigned char delimiter);

// The process-wide type object, created on first need (borrowed); NULL with
// RuntimeError set when creating it fails.
PyTypeObject* summary_type();

// A new GleaveSummary holding the record; NULL on failure.
PyObject* new_summary(const SummaryRecord& record);

// Creates a class from its PyType_Spec once per process; a failure becomes
// RuntimeError("An error occurred while initializing class <name>").
PyTypeObject* create_class_once(PyTypeObject*& cache, PyType_Spec* spec, const char* name);

}  // namespace gleave::py
