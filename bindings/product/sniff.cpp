// sniff(): the likely delimiter of a sample of CSV text.
#include "bindings/product/native.hpp"
#include "engine/detect/heuristics.hpp"

namespace gleave::native {

namespace {

PyObject* sniff(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"sample", nullptr};
    PyObject* sample = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:sniff", const_cast<char**>(keywords),
                                     &sample)) {
      return nullptr;
    }
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
    Py_BEGIN_ALLOW_THREADS d = sniff_delimiter(text);
    Py_END_ALLOW_THREADS return PyUnicode_FromOrdinal(d);
  });
}

}  // namespace

PyMethodDef sniff_method = {
    "sniff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sniff)),
    METH_VARARGS | METH_KEYWORDS,
    "sniff(sample)\n--\n\n"
    "The most likely delimiter of a sample of CSV text (str or bytes): comma, semicolon,\n"
    "tab or vertical bar, the comma when nothing scores."};

}  // namespace gleave::native
