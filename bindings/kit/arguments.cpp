#include "bindings/kit/arguments.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace gleave::kit {

namespace {

Py_ssize_t positional_count(const Signature& sig) {
  return sig.positional < 0 ? sig.count : sig.positional;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  const Py_ssize_t most = positional_count(sig);
  if (sig.required == most) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.display,
                 most, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.display, sig.required, most, given, verb);
  }
  return false;
}

// Index of the parameter a keyword names, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* name) {
  Py_ssize_t len = 0;
  const char* key = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
  if (key == nullptr) {
    PyErr_Clear();
    return -1;
  }
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (std::strlen(sig.params[i]) == static_cast<std::size_t>(len) &&
        std::memcmp(sig.params[i], key, static_cast<std::size_t>(len)) == 0) {
      return i;
    }
  }
  return -1;
}

// An unknown keyword is reported before a repeated one, whatever their order
// in the call, so every keyword is looked up before any is placed.
bool check_unexpected(const Signature& sig, PyObject* name) {
  if (find_param(sig, name) >= 0) return true;
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display, name);
  return false;
}

// Places one known keyword value; `npos` is the number of positional values.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t npos,
                  PyObject** out) {
  const Py_ssize_t i = find_param(sig, name);
  if (i < npos || out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                 sig.params[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
  std::string names;
  Py_ssize_t missing = 0;
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) ++missing;
  }
  if (missing == 0) return true;
  Py_ssize_t listed = 0;
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    ++listed;
    if (listed > 1) names += missing == 2 ? " and " : (listed == missing ? ", and " : ", ");
    names += "'";
    names += sig.params[i];
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.display, missing,
               missing == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** out) {
  const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (npos > positional_count(sig)) return too_many_positional(sig, npos);
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!check_unexpected(sig, PyTuple_GET_ITEM(kwnames, k))) return false;
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[npos + k], npos, out)) return false;
  }
  return check_missing(sig, out);
}

bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t npos = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (npos > positional_count(sig)) return too_many_positional(sig, npos);
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!check_unexpected(sig, key)) return false;
    }
    pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, npos, out)) return false;
    }
  }
  return check_missing(sig, out);
}

Parameters& Parameters::required(const char* name) {
  if (names_.size() >= kMaxParams) throw std::length_error("too many parameters");
  names_.push_back(name);
  shown_.emplace_back(name);
  required_ = count();
  return *this;
}

Parameters& Parameters::optional(const char* name, const char* shown_default) {
  if (names_.size() >= kMaxParams) throw std::length_error("too many parameters");
  names_.push_back(name);
  shown_.push_back(std::string(name) + "=" + shown_default);
  return *this;
}

Parameters& Parameters::keyword_only() {
  if (positional_ < 0) positional_ = count();
  return *this;
}

bool Parameters::bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      Bound& out) const {
  return bind_fastcall(signature(), args, nargsf, kwnames, out.data());
}

bool Parameters::bind(PyObject* args, PyObject* kwargs, Bound& out) const {
  return bind_tuple_dict(signature(), args, kwargs, out.data());
}

Signature Parameters::signature() const noexcept {
  return Signature{display_.c_str(), names_.data(), count(), required_, positional_};
}

std::string Parameters::doc(const char* doc) const {
  std::string out = name_ + "(";
  for (Py_ssize_t i = 0; i < count(); ++i) {
    if (i > 0) out += ", ";
    if (i == positional_) out += "*, ";
    out += shown_[static_cast<std::size_t>(i)];
  }
  out += ")\n--\n\n";
  return out + doc;
}

}  // namespace gleave::kit
