// The one argument binder of both modules. Binding places positional and
// keyword values on a callable's parameters and owns the TypeError texts for
// missing, repeated, unexpected and surplus arguments (CPython's own texts);
// converting the values is each caller's business.
#pragma once

#include "bindings/kit/python.hpp"  // Python.h comes first, before any standard header.

#include <array>
#include <string>
#include <vector>

namespace gleave::kit {

struct Signature {
  const char* display;         // how messages name the callable, e.g. "sniff()"
  const char* const* params;   // parameter names, positional-or-keyword ones first
  Py_ssize_t count;            // number of parameters
  Py_ssize_t required;         // the first `required` ones have no default
  Py_ssize_t positional = -1;  // how many may be given by position; -1: all of them
};

// Binds vectorcall arguments to `out[0..count)` as borrowed references, NULL
// where a parameter was not given. False with TypeError set on a fault.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** out);

// The same for a tuple and an optional dict (tp_new).
bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Room for the values of a callable's parameters.
inline constexpr std::size_t kMaxParams = 40;
using Bound = std::array<PyObject*, kMaxParams>;

// A callable's parameters, built once when the module is made: the binder's
// Signature and the signature line of its doc come from the same list, so
// they cannot disagree. Parameters added after keyword_only() are
// keyword-only; required ones come first.
class Parameters {
 public:
  explicit Parameters(std::string name) : name_(std::move(name)), display_(name_ + "()") {}
  Parameters& required(const char* name);
  Parameters& optional(const char* name, const char* shown_default);
  Parameters& keyword_only();
  // Binds into `out` (see bind_fastcall).
  bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Bound& out) const;
  bool bind(PyObject* args, PyObject* kwargs, Bound& out) const;
  bool is_keyword_only() const noexcept { return positional_ >= 0; }

  // Valid while this object lives, unchanged.
  Signature signature() const noexcept;
  Py_ssize_t count() const noexcept { return static_cast<Py_ssize_t>(names_.size()); }
  // "name(a, b=None, *, c=True)\n--\n\n" followed by `doc`.
  std::string doc(const char* doc) const;

 private:
  std::string name_;
  std::string display_;
  std::vector<const char*> names_;
  std::vector<std::string> shown_;  // each parameter as the signature line shows it
  Py_ssize_t required_ = 0;
  Py_ssize_t positional_ = -1;
};

}  // namespace gleave::kit
