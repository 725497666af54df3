// The core's own conversion of arguments, after the kit has bound them:
// str-only paths, the first byte of a delimiter or quote, numpy's bools, and
// "while processing '<name>'" notes on every conversion error.
#pragma once

#include "bindings/core/module.hpp"  // Python.h comes first, before any standard header.

#include <cstdint>
#include <optional>
#include <string>

#include "bindings/kit/arguments.hpp"
#include "engine/gleave.hpp"

namespace gleave::py {

using kit::bind_fastcall;
using kit::bind_tuple_dict;
using kit::Signature;

// Conversions. Each returns false with the exception set and the note for
// `param` attached.
bool convert_str(PyObject* value, const char* param, std::string& out);
bool convert_utf8_view(PyObject* value, const char* param, const char*& data, Py_ssize_t& size);

// The six option arguments, in their order: delimiter, quote_char,
// fill_ragged_rows, merge_overflow, expected_columns, repair_quotes. NULL
// entries take the defaults.
bool convert_options(PyObject* const* values, Dialect& options);

// Parameter names of the six, for signatures.
#define GLEAVE_CORE_OPTION_PARAMS                                                      \
  "delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns", \
      "repair_quotes"

}  // namespace gleave::py
