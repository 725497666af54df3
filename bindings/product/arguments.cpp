// Path arguments of every entry point (the options are the kit's).
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <cstdint>
#include <string>

namespace gleave::native {

bool path_from(PyObject* obj, PathArg& arg) {
  arg.given = Ref::borrow(obj);
  if (PyLong_Check(obj) && !PyBool_Check(obj)) {
    const long fd = PyLong_AsLong(obj);
    if (fd == -1 && PyErr_Occurred()) return false;
    if (fd < 0 || fd > INT32_MAX) {
      PyErr_SetString(PyExc_ValueError, "a file descriptor must be a non-negative int");
      return false;
    }
    arg.fd = static_cast<int>(fd);
    arg.path = "<fd " + std::to_string(fd) + ">";
    return true;
  }
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(obj, &bytes)) return false;  // TypeError, or ValueError for NUL
  Ref owned(bytes);
  arg.path.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  return true;
}

bool optional_path_from(PyObject* obj, OptionalPath& out) {
  if (obj == nullptr || obj == Py_None) return true;
  out.emplace();
  return path_from(obj, *out);
}

}  // namespace gleave::native
