// The core module's adapter over the binding kit: its entry points, its
// classes and the way it reports C++ exceptions. Registered by the
// execution step in module_def.cpp.
#pragma once

#include "bindings/kit/python.hpp"
#include "engine/base/error.hpp"

namespace gleave::py {

using kit::Ref;
using kit::restore_exception;
using kit::take_exception;

inline constexpr kit::GuardTexts kGuardTexts{"internal error in _csv_gleave_backend", nullptr};

// Runs body() and turns any C++ exception into a Python one: exhausted
// memory becomes MemoryError, anything else RuntimeError.
template <class R, class Body>
R guarded(R failed, Body&& body) noexcept {
  return kit::guarded(kGuardTexts, failed, std::forward<Body>(body));
}

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
