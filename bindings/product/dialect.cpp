// Dialect: how the product functions read an input, as detect() returns it.
// An immutable object of Python values, made straight from prepared text so
// that a detection on a short sample costs no dict and no Python-level
// constructor. Each attribute is one Field: its name, what a value given to
// the constructor must be (and its default), how repr shows it and how it is
// read off prepared text. The options detect() takes are attributes made
// from the option table (options.def); the rest are lines of kOwnFields.
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include "bindings/kit/options.hpp"

namespace gleave::native {

namespace {

// What a value must be; the default of an attribute left out follows from it.
enum class Kind : unsigned char {
  Text,          // a str
  Char,          // a str of one character
  OptionalChar,  // None or a str of one character (default None)
  Flag,          // a bool (default False)
  Count,         // an int >= 0 (default 0)
  RowCount,      // an int >= 0 (default 1: a header of one row, one table)
  Evidence,      // a tuple (default empty; any iterable is made a tuple)
};

// WhenSet: when true; AboveOne: when more than one (a count whose usual value is 1).
enum class Shown : unsigned char { Always, WhenSet, AboveOne, Never };

struct Field {
  const char* name;
  Kind kind;
  bool required;  // no default: the constructor needs it
  Shown shown;    // in repr
  bool compared;  // in ==, != and hash
  const char* doc;
  PyObject* (*read)(const PreparedText&, ModuleState&);
};

PyObject* flag(bool b) {
  return Py_NewRef(b ? Py_True : Py_False);
}
PyObject* count(std::uint64_t n) {
  return PyLong_FromUnsignedLongLong(n);
}

// How an option detect() takes shows as an attribute, by its kind: what a
// value given to the constructor must be, whether the constructor needs
// one, and when repr shows it (an option off unless set, when set).
struct Shows {
  Kind kind;
  bool required;
  Shown shown;
};
template <class K>
constexpr Shows shows_of() {
  namespace kinds = kit::kinds;
  if constexpr (std::is_same_v<K, kinds::Delimiter>) {
    return {Kind::Char, true, Shown::Always};
  } else if constexpr (std::is_same_v<K, kinds::Quote>) {
    return {Kind::OptionalChar, true, Shown::Always};
  } else if constexpr (std::is_same_v<K, kinds::CharOrNone>) {
    return {Kind::OptionalChar, false, Shown::WhenSet};
  } else if constexpr (std::is_same_v<K, kinds::MaybeSwitch>) {
    return {Kind::Flag, true, Shown::Always};
  } else if constexpr (std::is_same_v<K, kinds::Switch>) {
    return {Kind::Flag, false, Shown::WhenSet};  // repair only: never an attribute
  } else if constexpr (std::is_same_v<K, kinds::MaybeCount>) {
    return {Kind::Count, true, Shown::Always};
  } else if constexpr (std::is_same_v<K, kinds::Width>) {
    return {Kind::Count, false, Shown::Always};
  } else {
    static_assert(std::is_same_v<K, kinds::Encoding>, "a new kind says how it shows here");
    return {Kind::Text, true, Shown::Always};
  }
}

// An option's value as the attribute holds it.
PyObject* attribute(const Option<unsigned char>& o, ModuleState&) {
  return PyUnicode_FromOrdinal(o.value);
}
PyObject* attribute(const Option<std::optional<unsigned char>>& o, ModuleState&) {
  return char_or_none(o.value);
}
PyObject* attribute(const Option<bool>& o, ModuleState&) {
  return flag(o.value);
}
PyObject* attribute(const Option<std::uint64_t>& o, ModuleState&) {
  return count(o.value);
}
PyObject* attribute(const Option<std::string>& o, ModuleState& state) {
  // Nearly every input is UTF-8: its name is made once.
  if (o.value == "utf-8" && state.utf8_name != nullptr) return Py_NewRef(state.utf8_name);
  return PyUnicode_FromStringAndSize(o.value.data(), static_cast<Py_ssize_t>(o.value.size()));
}

// The attributes that are options, each with the attribute it follows.
struct OptionField {
  const char* after;
  unsigned scope;
  Field field;
};
using kit::kPositional;
using kit::kRepairOnly;
const OptionField kOptionFields[] = {
#define GLEAVE_OPTION(name, Kind_, scope, field, flags, metavar, help, after, doc)           \
  {after, scope,                                                                             \
   Field{#field, shows_of<kit::kinds::Kind_>().kind, shows_of<kit::kinds::Kind_>().required, \
         shows_of<kit::kinds::Kind_>().shown, true, doc,                                     \
         [](const PreparedText& p, ModuleState& s) { return attribute(p.dialect.field, s); }}},
#include "bindings/kit/options.def"
#undef GLEAVE_OPTION
};

// The attributes detection settles beyond the options, in the
// constructor's order; the options go in among them (see merge_fields).
const Field kOwnFields[] = {
    {"header", Kind::Flag, true, Shown::Always, true, "The table's first row looks like a header.",
     [](const PreparedText& p, ModuleState&) { return flag(p.dialect.header); }},
    {"header_width", Kind::Count, false, Shown::Never, true, "Fields in the table's first row.",
     [](const PreparedText& p, ModuleState&) { return count(p.dialect.header_width); }},
    {"header_missing_first", Kind::Flag, false, Shown::WhenSet, true,
     "A header one name short gets its empty name at the front.",
     [](const PreparedText& p, ModuleState&) { return flag(p.dialect.header_missing_first); }},
    {"sep_line", Kind::Flag, false, Shown::WhenSet, true, "The first line is `sep=X`.",
     [](const PreparedText& p, ModuleState&) { return flag(p.dialect.sep_line); }},
    {"single_line", Kind::Flag, false, Shown::WhenSet, true, "The sample holds one row only.",
     [](const PreparedText& p, ModuleState&) { return flag(p.dialect.single_line); }},
    {"not_a_table", Kind::Flag, false, Shown::WhenSet, true,
     "No dialect reads the input as a consistent table.",
     [](const PreparedText& p, ModuleState&) { return flag(p.dialect.not_a_table); }},
    {"replaced_bytes", Kind::Count, false, Shown::WhenSet, true,
     "Input bytes that could not be decoded under the encoding given, read as U+FFFD.",
     [](const PreparedText& p, ModuleState&) { return count(p.dialect.replaced_bytes); }},
    {"header_rows", Kind::RowCount, false, Shown::AboveOne, true,
     "Rows the header spans: group labels (a year over its quarters) or units with the row of "
     "names; the loaders combine them into one name per column (\"2019 q1\").",
     [](const PreparedText& p, ModuleState&) { return count(p.dialect.header_rows); }},
    {"tables", Kind::RowCount, false, Shown::AboveOne, true,
     "Tables seen at the start of the input (blocks after a blank or title line with a header "
     "of their own and another width); the largest is the table.",
     [](const PreparedText& p, ModuleState&) { return count(p.dialect.tables); }},
    {"other_table_line", Kind::Count, false, Shown::WhenSet, true,
     "The physical line (from 1) where another table begins, whose rows are quarantined with "
     "their own reason; 0 for none.",
     [](const PreparedText& p, ModuleState&) { return count(p.dialect.other_table_line); }},
    {"footnote_line", Kind::Count, false, Shown::WhenSet, true,
     "The line where notes under the table begin (lines with no delimiter under a table of "
     "three or more columns), quarantined with their own reason; 0 for none.",
     [](const PreparedText& p, ModuleState&) { return count(p.dialect.footnote_line); }},
    {"header_evidence", Kind::Text, false, Shown::Never, false,
     "Why header was decided so, as a short named reason (\"names over typed columns\", "
     "\"first row like the rows below\"); empty when it was not detected.",
     [](const PreparedText& p, ModuleState&) {
       const std::string_view v = p.dialect.header_evidence;
       return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
     }},
    {"evidence", Kind::Evidence, false, Shown::Never, false,
     "Every candidate dialect tried, the chosen one first, each a dict of its scores (only "
     "when detect() was asked for it).",
     [](const PreparedText& p, ModuleState&) { return evidence_tuple(p.dialect); }},
};
constexpr std::size_t kFieldCount =
    std::size(kOwnFields) + kit::option_count(kit::OptionUse::Detect);

// The attributes, in the constructor's order: made once by merge_fields.
Field kFields[kFieldCount];

// Puts each option detect() takes after the attribute it names. False with
// RuntimeError set when one names no attribute (a fault in the table).
bool merge_fields() {
  std::vector<Field> fields(std::begin(kOwnFields), std::end(kOwnFields));
  std::vector<const OptionField*> left;
  for (const OptionField& o : kOptionFields) {
    if ((o.scope & kRepairOnly) == 0) left.push_back(&o);
  }
  // An option may follow another: each round places those whose attribute
  // is in place.
  while (!left.empty()) {
    const std::size_t before = left.size();
    std::erase_if(left, [&](const OptionField* o) {
      if (*o->after == '\0') {
        fields.insert(fields.begin(), o->field);
        return true;
      }
      const auto at = std::find_if(fields.begin(), fields.end(), [&](const Field& f) {
        return std::strcmp(f.name, o->after) == 0;
      });
      if (at == fields.end()) return false;
      fields.insert(at + 1, o->field);
      return true;
    });
    if (left.size() == before) {
      PyErr_Format(PyExc_RuntimeError, "Dialect attribute %s follows no attribute (%s)",
                   left.front()->field.name, left.front()->after);
      return false;
    }
  }
  std::copy(fields.begin(), fields.end(), std::begin(kFields));
  return true;
}

struct DialectObject {
  PyObject ob_base;
  PyObject* values[kFieldCount];
};

DialectObject* as_dialect(PyObject* self) {
  return reinterpret_cast<DialectObject*>(self);
}

// The value given for `f`, checked (a new reference), or its default when
// `given` is null. Null with TypeError or ValueError set.
PyObject* checked(const Field& f, PyObject* given) {
  if (given == nullptr) {
    switch (f.kind) {
      case Kind::Text: return PyUnicode_FromString("");
      case Kind::Char: return PyUnicode_FromOrdinal(',');
      case Kind::OptionalChar: return Py_NewRef(Py_None);
      case Kind::Flag: return Py_NewRef(Py_False);
      case Kind::Count: return PyLong_FromLong(0);
      case Kind::RowCount: return PyLong_FromLong(1);
      case Kind::Evidence: return PyTuple_New(0);
    }
  }
  switch (f.kind) {
    case Kind::Text:
      if (PyUnicode_Check(given)) return Py_NewRef(given);
      break;
    case Kind::OptionalChar:
      if (given == Py_None) return Py_NewRef(given);
      [[fallthrough]];
    case Kind::Char:
      if (PyUnicode_Check(given) && PyUnicode_GetLength(given) == 1) return Py_NewRef(given);
      break;
    case Kind::Flag:
      if (PyBool_Check(given)) return Py_NewRef(given);
      break;
    case Kind::Count:
    case Kind::RowCount:
      if (PyLong_Check(given) && !PyBool_Check(given)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(given, &overflow);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        if (overflow > 0 || (overflow == 0 && v >= 0)) return Py_NewRef(given);
        PyErr_Format(PyExc_ValueError, "Dialect() %s must be >= 0", f.name);
        return nullptr;
      }
      break;
    case Kind::Evidence: return PySequence_Tuple(given);
  }
  static const char* const kWanted[] = {
      "a str", "a str of one character", "None or a str of one character", "a bool", "an int",
      "an int"};
  PyErr_Format(PyExc_TypeError, "Dialect() %s must be %s, not %.100s", f.name,
               kWanted[static_cast<int>(f.kind)], Py_TYPE(given)->tp_name);
  return nullptr;
}

// The default of an attribute left out, as the signature line shows it.
const char* shown_default(Kind kind) {
  switch (kind) {
    case Kind::Text: return "''";
    case Kind::Char: return "','";
    case Kind::OptionalChar: return "None";
    case Kind::Flag: return "False";
    case Kind::Count: return "0";
    case Kind::RowCount: return "1";
    case Kind::Evidence: return "()";
  }
  return "...";
}

// The constructor's parameters: every attribute, the required ones first
// (as kFields has them).
const kit::Parameters& parameters() {
  static const kit::Parameters p = [] {
    kit::Parameters p("Dialect");
    for (const Field& f : kFields) {
      if (f.required) {
        p.required(f.name);
      } else {
        p.optional(f.name, shown_default(f.kind));
      }
    }
    return p;
  }();
  return p;
}

PyObject* dialect_new_unguarded(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  kit::Bound given;
  if (!parameters().bind(args, kwargs, given)) return nullptr;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    as_dialect(self.get())->values[i] = checked(kFields[i], given[i]);
    if (as_dialect(self.get())->values[i] == nullptr) return nullptr;
  }
  return self.release();
}

PyObject* dialect_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return dialect_new_unguarded(type, args, kwargs); });
}

PyObject* get_field(PyObject* self, void* closure) {
  return Py_NewRef(as_dialect(self)->values[reinterpret_cast<std::uintptr_t>(closure)]);
}

PyObject* dialect_repr(PyObject* self) {
  Ref parts(PyList_New(0));
  if (!parts) return nullptr;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const Field& f = kFields[i];
    PyObject* value = as_dialect(self)->values[i];
    if (f.shown == Shown::Never) continue;
    if (f.shown == Shown::WhenSet) {
      const int set = PyObject_IsTrue(value);
      if (set < 0) return nullptr;
      if (set == 0) continue;
    } else if (f.shown == Shown::AboveOne) {
      const long long n = PyLong_AsLongLong(value);
      if (n == -1 && PyErr_Occurred()) return nullptr;
      if (n <= 1) continue;
    }
    Ref part(PyUnicode_FromFormat("%s=%R", f.name, value));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
  }
  Ref separator(PyUnicode_FromString(", "));
  if (!separator) return nullptr;
  Ref joined(PyUnicode_Join(separator.get(), parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("Dialect(%U)", joined.get());
}

PyObject* dialect_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (!kFields[i].compared) continue;
    const int same =
        PyObject_RichCompareBool(as_dialect(self)->values[i], as_dialect(other)->values[i], Py_EQ);
    if (same < 0) return nullptr;
    if (same == 0) return flag(op == Py_NE);
  }
  return flag(op == Py_EQ);
}

// The attributes compared, or (for pickling) all of them, as a tuple.
PyObject* values_tuple(PyObject* self, bool compared_only) {
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (compared_only && !kFields[i].compared) continue;
    if (PyList_Append(list.get(), as_dialect(self)->values[i]) < 0) return nullptr;
  }
  return PyList_AsTuple(list.get());
}

Py_hash_t dialect_hash(PyObject* self) {
  Ref values(values_tuple(self, true));
  return values ? PyObject_Hash(values.get()) : -1;
}

PyObject* dialect_reduce(PyObject* self, PyObject*) {
  Ref values(values_tuple(self, false));
  if (!values) return nullptr;
  return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), values.get());
}

int dialect_traverse(PyObject* self, visitproc visit, void* arg) {
  for (PyObject* value : as_dialect(self)->values) Py_VISIT(value);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int dialect_clear(PyObject* self) {
  for (PyObject*& value : as_dialect(self)->values) Py_CLEAR(value);
  return 0;
}

void dialect_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  dialect_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef dialect_getset[kFieldCount + 1];

PyMethodDef dialect_methods[] = {
    {"__reduce__", dialect_reduce, METH_NOARGS, "For pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

const char kDialectDoc[] =
    "The encoding and dialect the product functions read a file with; immutable.\n\n"
    "quote_char is None when the file has no quoting; preamble_lines counts the physical\n"
    "lines above the table (titles, comments, a sep= line), which a repair quarantines.\n"
    "expected_width is the width rows are repaired to; header_missing_first says a header\n"
    "one name short gets its empty name at the front; header_evidence says why header was\n"
    "decided so. evidence holds every candidate\n"
    "dialect tried, the chosen one first, each a dict of its scores (only when detect()\n"
    "was asked for it); it takes no part in == and hash.";

PyType_Slot dialect_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(dialect_new)},
    {Py_tp_repr, reinterpret_cast<void*>(dialect_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(dialect_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(dialect_hash)},
    {Py_tp_traverse, reinterpret_cast<void*>(dialect_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(dialect_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dialect_dealloc)},
    {Py_tp_doc, nullptr},  // made from the attributes (add_dialect_type)
    {Py_tp_getset, dialect_getset},
    {Py_tp_methods, dialect_methods},
    {0, nullptr},
};

PyType_Spec dialect_spec = {
    "csv_gleave.Dialect",
    sizeof(DialectObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    dialect_slots,
};

}  // namespace

PyObject* char_or_none(std::optional<unsigned char> c) {
  return c ? PyUnicode_FromOrdinal(*c) : Py_NewRef(Py_None);
}

PyObject* evidence_tuple(const Dialect& d) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(d.evidence.size())));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (const CandidateEvidence& e : d.evidence) {
    PyObject* item = candidate_dict(e);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i++, item);
  }
  return tuple.release();
}

PyObject* candidate_dict(const CandidateEvidence& e) {
  Ref quote(char_or_none(e.quote_char));
  if (!quote) return nullptr;
  Ref escape(char_or_none(e.escape_char));
  if (!escape) return nullptr;
  return Py_BuildValue("{sCsOsOsOsIsIsIsdsdsdsdsOsOsO}", "delimiter", static_cast<int>(e.delimiter),
                       "quote_char", quote.get(), "escape_char", escape.get(), "skip_initial_space",
                       e.skip_initial_space ? Py_True : Py_False, "rows", e.rows, "preamble_rows",
                       e.preamble_rows, "width", e.width, "consistency", e.consistency,
                       "pattern_score", e.pattern_score, "type_score", e.type_score, "score",
                       e.score, "quotes_pair_up", e.quotes_pair_up ? Py_True : Py_False,
                       "cuts_values", e.cuts_values ? Py_True : Py_False, "chosen",
                       e.chosen ? Py_True : Py_False);
}

int add_dialect_type(PyObject* module, ModuleState* state) {
  static const bool merged = merge_fields();
  if (!merged) return -1;
  static const std::string doc = parameters().doc(kDialectDoc);
  for (PyType_Slot& slot : dialect_slots) {
    if (slot.slot == Py_tp_doc) slot.pfunc = const_cast<char*>(doc.c_str());
  }
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    dialect_getset[i] = {kFields[i].name, get_field, nullptr, kFields[i].doc,
                         reinterpret_cast<void*>(static_cast<std::uintptr_t>(i))};
  }
  dialect_getset[kFieldCount] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  state->utf8_name = PyUnicode_InternFromString("utf-8");
  if (state->utf8_name == nullptr) return -1;
  PyObject* type = PyType_FromModuleAndSpec(module, &dialect_spec, nullptr);
  if (type == nullptr) return -1;
  state->dialect_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "Dialect", type);
}

PyObject* new_dialect(ModuleState* state, const PreparedText& prepared) {
  PyTypeObject* type = state->dialect_type;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    as_dialect(self.get())->values[i] = kFields[i].read(prepared, *state);
    if (as_dialect(self.get())->values[i] == nullptr) return nullptr;
  }
  return self.release();
}

}  // namespace gleave::native
