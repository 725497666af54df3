// Small pieces shared by the CPython layer: a strong-reference holder and the
// guard that keeps C++ exceptions from crossing into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <utility>

namespace gleave::py {

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

// Runs body() and turns any C++ exception into a Python one: exhausted
// memory becomes MemoryError, anything else RuntimeError. `failed` is what
// the entry point returns with an exception set (NULL or -1).
template <class R, class Body>
R guarded(R failed, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in _csv_gleave_backend");
  }
  return failed;
}

}  // namespace gleave::py
