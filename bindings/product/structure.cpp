// The parts of a dialect that describe the table's structure beyond the
// delimiter and quoting: the escape character, the rows the header spans,
// the tables in the file and the notes under the table.
#include "bindings/product/native.hpp"

namespace gleave::native {

bool structure_fields(const Dialect& d, PyObject* dict) {
  Ref escape(char_or_none(d.escape_char));
  Ref header_rows(PyLong_FromUnsignedLong(d.header_rows));
  Ref tables(PyLong_FromUnsignedLong(d.tables));
  Ref other_line(PyLong_FromUnsignedLongLong(d.other_table_line));
  Ref footnote_line(PyLong_FromUnsignedLongLong(d.footnote_line));
  return escape && header_rows && tables && other_line && footnote_line &&
         PyDict_SetItemString(dict, "footnote_line", footnote_line.get()) == 0 &&
         PyDict_SetItemString(dict, "escape_char", escape.get()) == 0 &&
         PyDict_SetItemString(dict, "header_rows", header_rows.get()) == 0 &&
         PyDict_SetItemString(dict, "tables", tables.get()) == 0 &&
         PyDict_SetItemString(dict, "other_table_line", other_line.get()) == 0;
}

}  // namespace gleave::native
