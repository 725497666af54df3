// GleaveReader, the repaired rows of a file held in memory, as both modules
// build it: one record, one object layout and the iteration slots. Each
// module reads and repairs the file its own way and supplies the summary
// getter (its summary type).
#pragma once

#include "bindings/kit/summary.hpp"  // Python.h comes first, before any standard header.

#include <cstdint>
#include <string_view>

#include "engine/repair/row_table.hpp"

namespace gleave::kit {

struct ReaderRecord {
  RowTable rows;
  SummaryRecord summary;
  std::uint64_t next = 0;
};

struct ReaderObject {
  PyObject ob_base;  // PyObject_HEAD
  ReaderRecord record;
};

inline ReaderRecord& reader_record(PyObject* self) {
  return reinterpret_cast<ReaderObject*>(self)->record;
}

// A new reader of `type` holding the record (moved in); NULL on failure.
PyObject* new_reader(PyTypeObject* type, ReaderRecord&& record);

// A str from bytes that are UTF-8 (anything else becomes U+FFFD). ASCII
// and Latin-1 text, the bulk of most files, is written straight into a
// one-byte-per-character str.
PyObject* field_str(std::string_view field, bool ascii);

// Slots shared by both reader types.
void reader_dealloc(PyObject* self);
PyObject* reader_iter(PyObject* self);
PyObject* reader_next(PyObject* self);
Py_ssize_t reader_len(PyObject* self);
PyObject* reader_enter(PyObject* self, PyObject*);
// __exit__(_exc_type=None, _exc_val=None, _exc_tb=None): always False.
PyObject* reader_exit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
extern const char kReaderExitDoc[];

// The type's tables, as both modules make them: the shared slots, with the
// module's own constructor, class doc and summary getter (and its doc).
struct ReaderType {
  PyGetSetDef getset[2];
  PyMethodDef methods[3];
  PyType_Slot slots[9];
};
void fill_reader_type(ReaderType& t, newfunc make, const char* doc, getter summary,
                      const char* summary_doc);

}  // namespace gleave::kit
