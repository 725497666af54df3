// The parts of a dialect that describe the table's structure beyond the
// delimiter and quoting: the escape character and the rows the header spans.
#include "native.hpp"

namespace gleave::native {

bool structure_fields(const Dialect& d, PyObject* dict) {
  Ref escape(d.escape_char ? PyUnicode_FromOrdinal(*d.escape_char) : Py_NewRef(Py_None));
  Ref header_rows(PyLong_FromUnsignedLong(d.header_rows));
  return escape && header_rows && PyDict_SetItemString(dict, "escape_char", escape.get()) == 0 &&
         PyDict_SetItemString(dict, "header_rows", header_rows.get()) == 0;
}

}  // namespace gleave::native
