// GleaveSummary: the counts of a repair, the kit's summary with the core's
// six attributes first (the same to_dict() keys) and what the product pass
// reports after them, in kFields.
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <cstdio>
#include <optional>
#include <string>
#include <type_traits>

#include "bindings/kit/summary.hpp"

namespace gleave::native {

namespace {

using kit::count_of;
using kit::SummaryRecord;

// A value of how the input was read, as Python shows it.
template <class T>
PyObject* python_value(const T& v) {
  if constexpr (requires { v.given; }) {
    return python_value(v.value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return PyBool_FromLong(v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
  } else if constexpr (std::is_same_v<T, std::optional<unsigned char>>) {
    return v ? PyUnicode_FromOrdinal(*v) : Py_NewRef(Py_None);
  } else {
    return PyLong_FromUnsignedLongLong(v);
  }
}

// The product layer's attributes, from the dialect in force or the counts
// of the pass; without them each is None.
template <auto Member>
PyObject* input_value(const SummaryRecord& r) {
  if (!r.input) return Py_NewRef(Py_None);
  if constexpr (requires { r.input->dialect.*Member; }) {
    return python_value(r.input->dialect.*Member);
  } else {
    return python_value(r.input->counts.*Member);
  }
}
#define GLEAVE_INPUT(member) input_value<&Dialect::member>
#define GLEAVE_COUNT(member) input_value<&ProductCounts::member>

const kit::SummaryField kFields[] = {
    {"total_rows", "Rows read.", count_of<&GleaveCounts::total_rows>},
    {"gleaved_rows", "Rows written to the output.", count_of<&GleaveCounts::gleaved_rows>},
    {"repaired_rows", "Kept rows that were padded or merged.",
     count_of<&GleaveCounts::repaired_rows>},
    {"quarantined_rows", "Rows set aside.", count_of<&GleaveCounts::quarantined_rows>},
    {"detected_delimiter", "The delimiter in force, given or detected.", kit::delimiter_of},
    {"inferred_columns", "The expected width in force.", count_of<&GleaveCounts::inferred_columns>},
    {"encoding", "The input's encoding, given or detected; the output is UTF-8.",
     GLEAVE_INPUT(encoding)},
    {"quote_char", "The quote character in force, None for no quoting.", GLEAVE_INPUT(quote_char)},
    {"skip_initial_space", "Blanks after a delimiter were not data.",
     GLEAVE_INPUT(skip_initial_space)},
    {"preamble_rows", "Lines above the table, quarantined (also in quarantined_rows).",
     GLEAVE_COUNT(preamble_rows)},
    {"blank_rows", "Blank lines skipped (in no other count).", GLEAVE_COUNT(blank_rows)},
    {"replaced_bytes", "Input bytes that could not be decoded, written as U+FFFD.",
     GLEAVE_INPUT(replaced_bytes)},
    {"fallback_bytes",
     "Bytes of a UTF-8 input that were not UTF-8, each read as cp1252 (a line or a field "
     "written in cp1252 among UTF-8).",
     GLEAVE_INPUT(fallback_bytes)},
    {"header", "The table's first row looks like a header.", GLEAVE_INPUT(header)},
    {"not_a_table", "No dialect reads the input as a consistent table.", GLEAVE_INPUT(not_a_table)},
    {"tables", "Tables seen at the start of the input; rows of all but the first are quarantined.",
     GLEAVE_INPUT(tables)},
    {"other_table_rows",
     "Rows of the tables after the first, quarantined (also in quarantined_rows).",
     GLEAVE_COUNT(other_table_rows)},
    {"footnote_rows", "Notes under the table, quarantined (also in quarantined_rows).",
     GLEAVE_COUNT(footnote_rows)},
    {"repeated_header_rows",
     "Later rows that repeat the header to the letter, quarantined (also in quarantined_rows).",
     GLEAVE_COUNT(repeated_header_rows)},
    {"comment_rows", "Comment lines, quarantined (also in quarantined_rows).",
     GLEAVE_COUNT(comment_rows)},
    {"runaway_quotes",
     "Quoted fields that ran on over whole rows of the table; those rows were read as rows.",
     GLEAVE_COUNT(runaway_quotes)},
};
#undef GLEAVE_INPUT
#undef GLEAVE_COUNT
constexpr std::size_t kFieldCount = sizeof kFields / sizeof kFields[0];

PyObject* summary_repr(PyObject* self) {
  const SummaryRecord& c = kit::summary_record(self);
  Ref delimiter(kit::delimiter_of(c));
  if (!delimiter) return nullptr;
  Ref base(
      PyUnicode_FromFormat("<GleaveSummary total_rows=%llu gleaved_rows=%llu repaired_rows=%llu "
                           "quarantined_rows=%llu delimiter=%R inferred_columns=%llu",
                           static_cast<unsigned long long>(c.total_rows),
                           static_cast<unsigned long long>(c.gleaved_rows),
                           static_cast<unsigned long long>(c.repaired_rows),
                           static_cast<unsigned long long>(c.quarantined_rows), delimiter.get(),
                           static_cast<unsigned long long>(c.inferred_columns)));
  if (!base || !c.input) return base ? PyUnicode_FromFormat("%U>", base.get()) : nullptr;
  const Dialect& d = c.input->dialect;
  const ProductCounts& n = c.input->counts;
  Ref encoding(python_value(d.encoding));
  Ref quote(python_value(d.quote_char));
  if (!encoding || !quote) return nullptr;
  // Shown when there were any, as not_a_table is.
  char fallback[48] = "";
  if (d.fallback_bytes != 0) {
    std::snprintf(fallback, sizeof fallback, " fallback_bytes=%llu",
                  static_cast<unsigned long long>(d.fallback_bytes));
  }
  return PyUnicode_FromFormat(
      "%U encoding=%R quote_char=%R preamble_rows=%llu blank_rows=%llu replaced_bytes=%llu%s%s>",
      base.get(), encoding.get(), quote.get(), static_cast<unsigned long long>(n.preamble_rows),
      static_cast<unsigned long long>(n.blank_rows),
      static_cast<unsigned long long>(d.replaced_bytes), fallback,
      d.not_a_table ? " not_a_table=True" : "");
}

PyGetSetDef summary_getset[kFieldCount + 1];

PyMethodDef summary_methods[] = {
    {"to_dict", kit::summary_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nThe summary as a dict, keys in attribute order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot summary_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(kit::summary_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(kit::summary_hash)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kit::summary_dealloc)},
    {Py_tp_doc, const_cast<char*>("The counts of a repair.")},
    {Py_tp_getset, summary_getset},
    {Py_tp_methods, summary_methods},
    {0, nullptr},
};

PyType_Spec summary_spec = {
    "csv_gleave.GleaveSummary",
    sizeof(kit::SummaryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    summary_slots,
};

}  // namespace

int add_summary_type(PyObject* module, ModuleState* state) {
  kit::fill_summary_getset(kFields, kFieldCount, summary_getset);
  PyObject* type = PyType_FromModuleAndSpec(module, &summary_spec, nullptr);
  if (type == nullptr) return -1;
  state->summary_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "GleaveSummary", type);
}

PyObject* new_summary(ModuleState* state, const GleaveCounts& counts, unsigned char delimiter) {
  return new_summary(state, counts, delimiter, nullptr);
}

PyObject* new_summary(ModuleState* state, const GleaveCounts& counts, unsigned char delimiter,
                      const InputRead* input) {
  return guarded([&] {
    SummaryRecord record;
    static_cast<GleaveCounts&>(record) = counts;
    record.delimiter = delimiter;
    if (input != nullptr) record.input = *input;
    return kit::new_summary(state->summary_type, record);
  });
}

}  // namespace gleave::native
