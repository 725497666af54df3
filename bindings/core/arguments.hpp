// Argument binding and conversion shared by every callable of the module.
// Binding owns the TypeError texts for missing, repeated, unexpected and
// surplus arguments; conversion attaches "while processing '<name>'" notes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bindings/core/common.hpp"
#include "engine/gleave.hpp"

namespace gleave::py {

struct Signature {
  const char* display;        // how messages name the callable, e.g. "sniff()"
  const char* const* params;  // positional-or-keyword parameter names
  Py_ssize_t count;           // number of parameters
  Py_ssize_t required;        // the first `required` ones have no default
};

// Binds vectorcall arguments to `out[0..count)` as borrowed references, NULL
// where a parameter was not given. False with TypeError set on a fault.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** out);

// The same for a tuple and an optional dict (tp_new).
bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions. Each returns false with the exception set and the note for
// `param` attached.
bool convert_str(PyObject* value, const char* param, std::string& out);
bool convert_utf8_view(PyObject* value, const char* param, const char*& data, Py_ssize_t& size);

// The six option arguments, in their order: delimiter, quote_char,
// fill_ragged_rows, merge_overflow, expected_columns, repair_quotes. NULL
// entries take the defaults.
bool convert_options(PyObject* const* values, GleaveOptions& options);

// Parameter names of the option arguments, for signatures.
#define GLEAVE_OPTION_PARAMS                                                           \
  "delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns", \
      "repair_quotes"

}  // namespace gleave::py
