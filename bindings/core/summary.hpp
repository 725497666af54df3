// GleaveSummary: the read-only result of a gleave, shown to Python.
#pragma once

#include <cstdint>
#include <string>

#include "bindings/core/common.hpp"
#include "engine/gleave.hpp"

namespace gleave::py {

struct PyGleaveSummary {
  std::uint64_t total_rows = 0;
  std::uint64_t gleaved_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::string detected_delimiter;  // UTF-8, exactly one character
  std::uint64_t inferred_columns = 0;
};

// The counts unchanged; the delimiter (a code point from 0 to 255) as UTF-8.
PyGleaveSummary summary_from(const GleaveCounts& counts, char32_t delimiter);

// The process-wide type object, created on first need (borrowed); NULL with
// RuntimeError set when creating it fails.
PyTypeObject* summary_type();

// A new GleaveSummary holding the record (consumed); NULL on failure.
PyObject* new_summary(PyGleaveSummary&& record);

// Creates a class from its PyType_Spec once per process; a failure becomes
// RuntimeError("An error occurred while initializing class <name>").
PyTypeObject* create_class_once(PyTypeObject*& cache, PyType_Spec* spec, const char* name);

}  // namespace gleave::py
