// The pieces every CPython entry point of both modules stands on: a
// strong-reference holder, taking and putting back the pending exception,
// and the guard that keeps C++ exceptions from crossing into the
// interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <utility>

namespace gleave::kit {

// Owns one strong reference. The constructor steals the reference it is
// given; release() hands it back to the caller.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* steal) noexcept : p_(steal) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Takes the pending exception out of the error indicator, normalised and
// with its traceback attached; an empty Ref when none is set.
inline Ref take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref(value);
#endif
}

// Makes `exc` the pending exception again (the reference is stolen).
inline void restore_exception(Ref exc) noexcept {
  PyObject* value = exc.release();
  if (value == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

// How a module reports a C++ exception that reached its entry point.
struct GuardTexts {
  const char* internal;  // RuntimeError for an exception that is not std::exception
  const char* memory;    // MemoryError's message; nullptr: none
};

// Sets the Python exception for the C++ exception being handled: exhausted
// memory becomes MemoryError, anything else RuntimeError. Call only from a
// catch block.
void set_from_current_exception(const GuardTexts& texts) noexcept;

// Runs body() and turns any C++ exception into a Python one. `failed` is
// what the entry point returns with an exception set (NULL or -1).
template <class R, class Body>
R guarded(const GuardTexts& texts, R failed, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_from_current_exception(texts);
  }
  return failed;
}

// A new str from UTF-8 bytes, undecodable bytes written as U+FFFD.
inline PyObject* utf8_str(const char* data, std::size_t size) {
  return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "replace");
}

// PyMethodDef's handler field for any calling convention.
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace gleave::kit
