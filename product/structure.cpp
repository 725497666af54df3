// The parts of a dialect that describe the table's structure beyond the
// delimiter and quoting: the escape character.
#include "native.hpp"

namespace gleave::native {

bool structure_fields(const Dialect& d, PyObject* dict) {
  Ref escape(d.escape_char ? PyUnicode_FromOrdinal(*d.escape_char) : Py_NewRef(Py_None));
  return escape && PyDict_SetItemString(dict, "escape_char", escape.get()) == 0;
}

}  // namespace gleave::native
