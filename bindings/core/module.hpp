// Entry points of the module's functions and classes, registered by the
// execution step in module_def.cpp.
#pragma once

#include "bindings/core/common.hpp"
#include "engine/base/error.hpp"

namespace gleave::py {

// Module functions (METH_FASTCALL | METH_KEYWORDS | METH_STATIC: no self).
PyObject* gleave_file_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames);
PyObject* open_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// The GleaveReader class, created once per process (borrowed; NULL with
// RuntimeError set on failure).
PyTypeObject* reader_type();

// Sets the Python exception for an engine error; always returns NULL.
PyObject* raise_gleave_error(const GleaveError& error);

}  // namespace gleave::py
