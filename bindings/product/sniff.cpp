// sniff(): the likely delimiter of a sample of CSV text.
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <exception>
#include <string>

#include "engine/detect/heuristics.hpp"
#include "engine/dialect/dialect.hpp"

namespace gleave::native {

namespace {

// One answer with detect(): the detector's delimiter when it is one of the
// four that sniffing chooses from, else sniffing's own choice among them.
unsigned char sniff_or_detect(std::string_view text) {
  const unsigned char d = detect_dialect(text).delimiter;
  if (d == ',' || d == ';' || d == '\t' || d == '|') return d;
  return sniff_delimiter(text);
}

const kit::Parameters& parameters() {
  static const kit::Parameters p = [] {
    kit::Parameters p("sniff");
    p.required("sample");
    return p;
  }();
  return p;
}

PyObject* sniff(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    kit::Bound bound;
    if (!parameters().bind(args, nargsf, kwnames, bound)) return nullptr;
    PyObject* sample = bound[0];
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyUnicode_Check(sample)) {
      data = PyUnicode_AsUTF8AndSize(sample, &size);
      if (data == nullptr) return nullptr;
    } else if (PyBytes_Check(sample)) {
      data = PyBytes_AS_STRING(sample);
      size = PyBytes_GET_SIZE(sample);
    } else {
      PyErr_Format(PyExc_TypeError, "sample must be str or bytes, not %.100s",
                   Py_TYPE(sample)->tp_name);
      return nullptr;
    }
    // The sample's bytes stay alive and unchanged (a str or bytes is
    // immutable and referenced by the call) while the lock is released.
    const std::string_view text(data, static_cast<std::size_t>(size));
    unsigned char d = ',';
    std::exception_ptr failure;  // (out of memory) raised once the lock is held again
    PyThreadState* released = PyEval_SaveThread();
    try {
      d = sniff_or_detect(text);
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(released);
    if (failure) std::rethrow_exception(failure);
    return PyUnicode_FromOrdinal(d);
  });
}

const char kDoc[] =
    "The most likely delimiter of a sample of CSV text (str or bytes): comma, semicolon,\n"
    "tab or vertical bar, the comma when nothing scores.";

}  // namespace

PyMethodDef sniff_method() {
  static const std::string doc = parameters().doc(kDoc);
  return {"sniff", kit::as_cfunction(sniff), METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace gleave::native
