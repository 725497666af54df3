// GleaveSummary: the counts of a repair. It has the core's six attributes
// and to_dict() keys; what the product layer adds goes into kFields.
#include <cstddef>
#include <cstdio>
#include <new>
#include <optional>

#include "bindings/product/native.hpp"
#include "engine/scan/text.hpp"

namespace gleave::native {

namespace {

struct SummaryObject {
  PyObject ob_base;
  GleaveCounts counts;
  unsigned char delimiter;
  std::optional<InputReport> input;  // how the input was read, when known
};

SummaryObject* as_summary(PyObject* self) {
  return reinterpret_cast<SummaryObject*>(self);
}

PyObject* delimiter_str(PyObject* self) {
  return PyUnicode_FromOrdinal(as_summary(self)->delimiter);
}

// The product layer's attributes, from how the input was read; without
// that report each is None.
const InputReport* input_of(PyObject* self) {
  const auto& input = as_summary(self)->input;
  return input ? &*input : nullptr;
}
PyObject* count_or_none(PyObject* self, std::uint64_t InputReport::*member) {
  const InputReport* r = input_of(self);
  return r == nullptr ? Py_NewRef(Py_None) : PyLong_FromUnsignedLongLong(r->*member);
}
PyObject* flag_or_none(PyObject* self, bool InputReport::*member) {
  const InputReport* r = input_of(self);
  return r == nullptr ? Py_NewRef(Py_None) : PyBool_FromLong(r->*member);
}
PyObject* get_encoding(PyObject* self) {
  const InputReport* r = input_of(self);
  if (r == nullptr) return Py_NewRef(Py_None);
  return PyUnicode_FromStringAndSize(r->encoding.data(),
                                     static_cast<Py_ssize_t>(r->encoding.size()));
}
PyObject* get_quote_char(PyObject* self) {
  const InputReport* r = input_of(self);
  if (r == nullptr || !r->quote_char) return Py_NewRef(Py_None);
  return PyUnicode_FromOrdinal(*r->quote_char);
}
PyObject* get_skip_initial_space(PyObject* self) {
  return flag_or_none(self, &InputReport::skip_initial_space);
}
PyObject* get_preamble_rows(PyObject* self) {
  return count_or_none(self, &InputReport::preamble_rows);
}
PyObject* get_blank_rows(PyObject* self) {
  return count_or_none(self, &InputReport::blank_rows);
}
PyObject* get_replaced_bytes(PyObject* self) {
  return count_or_none(self, &InputReport::replaced_bytes);
}
PyObject* get_fallback_bytes(PyObject* self) {
  return count_or_none(self, &InputReport::fallback_bytes);
}
PyObject* get_other_table_rows(PyObject* self) {
  return count_or_none(self, &InputReport::other_table_rows);
}
PyObject* get_footnote_rows(PyObject* self) {
  return count_or_none(self, &InputReport::footnote_rows);
}
PyObject* get_repeated_header_rows(PyObject* self) {
  return count_or_none(self, &InputReport::repeated_header_rows);
}
PyObject* get_comment_rows(PyObject* self) {
  return count_or_none(self, &InputReport::comment_rows);
}
PyObject* get_runaway_quotes(PyObject* self) {
  return count_or_none(self, &InputReport::runaway_quotes);
}
PyObject* get_tables(PyObject* self) {
  const InputReport* r = input_of(self);
  return r == nullptr ? Py_NewRef(Py_None) : PyLong_FromUnsignedLong(r->tables);
}
PyObject* get_header(PyObject* self) {
  return flag_or_none(self, &InputReport::header);
}
PyObject* get_not_a_table(PyObject* self) {
  return flag_or_none(self, &InputReport::not_a_table);
}

// The attributes in to_dict() order. A count is read from GleaveCounts at
// its offset; the delimiter is the one str; the rest have a getter.
struct Field {
  const char* name;
  std::size_t offset;  // into GleaveCounts; SIZE_MAX for the delimiter
  const char* doc;
  PyObject* (*get)(PyObject*) = nullptr;
};
constexpr std::size_t kDelimiter = SIZE_MAX;
const Field kFields[] = {
    {"total_rows", offsetof(GleaveCounts, total_rows), "Rows read."},
    {"gleaved_rows", offsetof(GleaveCounts, gleaved_rows), "Rows written to the output."},
    {"repaired_rows", offsetof(GleaveCounts, repaired_rows),
     "Kept rows that were padded or merged."},
    {"quarantined_rows", offsetof(GleaveCounts, quarantined_rows), "Rows set aside."},
    {"detected_delimiter", kDelimiter, "The delimiter in force, given or detected."},
    {"inferred_columns", offsetof(GleaveCounts, inferred_columns), "The expected width in force."},
    {"encoding", 0, "The input's encoding, given or detected; the output is UTF-8.", get_encoding},
    {"quote_char", 0, "The quote character in force, None for no quoting.", get_quote_char},
    {"skip_initial_space", 0, "Blanks after a delimiter were not data.", get_skip_initial_space},
    {"preamble_rows", 0, "Lines above the table, quarantined (also in quarantined_rows).",
     get_preamble_rows},
    {"blank_rows", 0, "Blank lines skipped (in no other count).", get_blank_rows},
    {"replaced_bytes", 0, "Input bytes that could not be decoded, written as U+FFFD.",
     get_replaced_bytes},
    {"fallback_bytes", 0,
     "Bytes of a UTF-8 input that were not UTF-8, each read as cp1252 (a line or a field "
     "written in cp1252 among UTF-8).",
     get_fallback_bytes},
    {"header", 0, "The table's first row looks like a header.", get_header},
    {"not_a_table", 0, "No dialect reads the input as a consistent table.", get_not_a_table},
    {"tables", 0,
     "Tables seen at the start of the input; rows of all but the first are quarantined.",
     get_tables},
    {"other_table_rows", 0,
     "Rows of the tables after the first, quarantined (also in quarantined_rows).",
     get_other_table_rows},
    {"footnote_rows", 0, "Notes under the table, quarantined (also in quarantined_rows).",
     get_footnote_rows},
    {"repeated_header_rows", 0,
     "Later rows that repeat the header to the letter, quarantined (also in quarantined_rows).",
     get_repeated_header_rows},
    {"comment_rows", 0, "Comment lines, quarantined (also in quarantined_rows).", get_comment_rows},
    {"runaway_quotes", 0,
     "Quoted fields that ran on over whole rows of the table; those rows were read as rows.",
     get_runaway_quotes},
};
constexpr std::size_t kFieldCount = sizeof kFields / sizeof kFields[0];

PyObject* field_value(PyObject* self, const Field& f) {
  if (f.get != nullptr) return f.get(self);
  if (f.offset == kDelimiter) return delimiter_str(self);
  const auto* base = reinterpret_cast<const char*>(&as_summary(self)->counts);
  return PyLong_FromUnsignedLongLong(*reinterpret_cast<const std::uint64_t*>(base + f.offset));
}

PyObject* get_field(PyObject* self, void* closure) {
  return field_value(self, *static_cast<const Field*>(closure));
}

PyObject* summary_to_dict(PyObject* self, PyObject*) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const Field& f : kFields) {
    Ref value(field_value(self, f));
    if (!value || PyDict_SetItemString(dict.get(), f.name, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* summary_repr(PyObject* self) {
  const GleaveCounts& c = as_summary(self)->counts;
  Ref delimiter(delimiter_str(self));
  if (!delimiter) return nullptr;
  Ref base(
      PyUnicode_FromFormat("<GleaveSummary total_rows=%llu gleaved_rows=%llu repaired_rows=%llu "
                           "quarantined_rows=%llu delimiter=%R inferred_columns=%llu",
                           static_cast<unsigned long long>(c.total_rows),
                           static_cast<unsigned long long>(c.gleaved_rows),
                           static_cast<unsigned long long>(c.repaired_rows),
                           static_cast<unsigned long long>(c.quarantined_rows), delimiter.get(),
                           static_cast<unsigned long long>(c.inferred_columns)));
  const InputReport* r = input_of(self);
  if (!base || r == nullptr) return base ? PyUnicode_FromFormat("%U>", base.get()) : nullptr;
  Ref encoding(get_encoding(self)), quote(get_quote_char(self));
  if (!encoding || !quote) return nullptr;
  // Shown when there were any, as not_a_table is.
  char fallback[48] = "";
  if (r->fallback_bytes != 0) {
    std::snprintf(fallback, sizeof fallback, " fallback_bytes=%llu",
                  static_cast<unsigned long long>(r->fallback_bytes));
  }
  return PyUnicode_FromFormat(
      "%U encoding=%R quote_char=%R preamble_rows=%llu blank_rows=%llu replaced_bytes=%llu%s%s>",
      base.get(), encoding.get(), quote.get(), static_cast<unsigned long long>(r->preamble_rows),
      static_cast<unsigned long long>(r->blank_rows),
      static_cast<unsigned long long>(r->replaced_bytes), fallback,
      r->not_a_table ? " not_a_table=True" : "");
}

// Summaries are values: two with the same attributes compare equal (and
// hash alike), whichever call made them.
PyObject* summary_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  Ref mine(summary_to_dict(self, nullptr));
  if (!mine) return nullptr;
  Ref theirs(summary_to_dict(other, nullptr));
  if (!theirs) return nullptr;
  return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

Py_hash_t summary_hash(PyObject* self) {
  Ref values(PyTuple_New(static_cast<Py_ssize_t>(kFieldCount)));
  if (!values) return -1;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    PyObject* value = field_value(self, kFields[i]);
    if (value == nullptr) return -1;
    PyTuple_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), value);  // steals
  }
  return PyObject_Hash(values.get());
}

void summary_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_summary(self)->input.~optional();
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef summary_getset[kFieldCount + 1];

PyMethodDef summary_methods[] = {
    {"to_dict", summary_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nThe summary as a dict, keys in attribute order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot summary_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(summary_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(summary_hash)},
    {Py_tp_dealloc, reinterpret_cast<void*>(summary_dealloc)},
    {Py_tp_doc, const_cast<char*>("The counts of a repair.")},
    {Py_tp_getset, summary_getset},
    {Py_tp_methods, summary_methods},
    {0, nullptr},
};

PyType_Spec summary_spec = {
    "csv_gleave.GleaveSummary",
    sizeof(SummaryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    summary_slots,
};

}  // namespace

int add_summary_type(PyObject* module, ModuleState* state) {
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    summary_getset[i] = {kFields[i].name, get_field, nullptr, kFields[i].doc,
                         const_cast<Field*>(&kFields[i])};
  }
  summary_getset[kFieldCount] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  PyObject* type = PyType_FromModuleAndSpec(module, &summary_spec, nullptr);
  if (type == nullptr) return -1;
  state->summary_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "GleaveSummary", type);
}

PyObject* new_summary(ModuleState* state, const GleaveCounts& counts, unsigned char delimiter) {
  return new_summary(state, counts, delimiter, nullptr);
}

PyObject* new_summary(ModuleState* state, const GleaveCounts& counts, unsigned char delimiter,
                      const InputReport* input) {
  PyTypeObject* type = state->summary_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_summary(self)->counts = counts;
  as_summary(self)->delimiter = delimiter;
  new (&as_summary(self)->input) std::optional<InputReport>();
  if (input != nullptr) {
    try {
      as_summary(self)->input = *input;
    } catch (...) {
      Py_DECREF(self);
      return PyErr_NoMemory();
    }
  }
  return self;
}

}  // namespace gleave::native
