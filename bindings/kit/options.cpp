#include "bindings/kit/options.hpp"

#include <strings.h>

#include <cstring>
#include <new>

#include "engine/encoding/encoding.hpp"

namespace gleave::kit {

namespace {

struct Row {
  const char* name;
  const char* kind;
  const char* shown;
  unsigned scope;
  const char* flags;
  const char* metavar;
  const char* help;
  const char* field;
};

constexpr Row kRows[] = {
#define GLEAVE_OPTION(name, kind, scope, field, flags, metavar, help, after, doc) \
  {#name, #kind, kinds::kind::shown, scope, flags, metavar, help, #field},
#include "bindings/kit/options.def"
#undef GLEAVE_OPTION
};

bool takes(OptionUse use, unsigned scope) {
  return use != OptionUse::Detect || (scope & kRepairOnly) == 0;
}

struct NamedChar {
  const char* name;
  unsigned char byte;
};
constexpr NamedChar kNames[] = {
    {"comma", ','}, {"semicolon", ';'}, {"tab", '\t'},  {"pipe", '|'},        {"bar", '|'},
    {"space", ' '}, {"colon", ':'},     {"quote", '"'}, {"apostrophe", '\''},
};

// One character (or a name) for `param`. A non-ASCII character would be
// split by the byte-wise parser and written back mangled, so it is refused.
bool control_byte(PyObject* value, const char* param, unsigned char& out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str, not %.100s", param, Py_TYPE(value)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  if (size == 1 && static_cast<unsigned char>(text[0]) < 0x80) {
    out = static_cast<unsigned char>(text[0]);
  } else {
    bool found = false;
    for (const NamedChar& n : kNames) {
      if (std::strlen(n.name) == static_cast<std::size_t>(size) &&
          strncasecmp(n.name, text, static_cast<std::size_t>(size)) == 0) {
        out = n.byte;
        found = true;
        break;
      }
    }
    if (!found) {
      PyErr_Format(PyExc_ValueError,
                   "%s must be one ASCII character or one of comma, semicolon, tab, pipe, "
                   "space, colon, not %R",
                   param, value);
      return false;
    }
  }
  if (out == '\r' || out == '\n') {
    PyErr_Format(PyExc_ValueError, "%s cannot be a line break", param);
    return false;
  }
  return true;
}

// A name iconv does not know as given, through Python's codec registry:
// its aliases ("utf_16_le", "latin_1", "u8") and canonical names
// ("utf-16-le", "euc_jp", "mac-roman") become the name iconv knows the
// same encoding by. False with LookupError set when neither knows it.
bool python_codec_name(PyObject* given, std::string& out) {
  Ref codecs(PyImport_ImportModule("codecs"));
  Ref info(codecs ? PyObject_CallMethod(codecs.get(), "lookup", "O", given) : nullptr);
  Ref canonical(info ? PyObject_GetAttrString(info.get(), "name") : nullptr);
  const char* name =
      canonical && PyUnicode_Check(canonical.get()) ? PyUnicode_AsUTF8(canonical.get()) : nullptr;
  if (name == nullptr && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_LookupError)) {
    return false;  // not a question of the name (out of memory, an import failing)
  }
  PyErr_Clear();
  if (name != nullptr) {
    try {
      std::string mapped = iconv_name(name);
      if (encoding_known(mapped)) {
        out = std::move(mapped);
        return true;
      }
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
  }
  PyErr_Format(PyExc_LookupError, "unknown encoding: %R", given);
  return false;
}

}  // namespace

namespace kinds {

bool Delimiter::convert(PyObject* value, const char* name, Option<unsigned char>& out) {
  if (value == Py_None) return true;
  unsigned char c = 0;
  if (!control_byte(value, name, c)) return false;
  out.give(c);
  return true;
}

bool Quote::convert(PyObject* value, const char* name, Option<std::optional<unsigned char>>& out) {
  unsigned char c = 0;
  if (value != Py_None && !control_byte(value, name, c)) return false;
  out.give(value == Py_None ? std::nullopt : std::optional<unsigned char>(c));
  return true;
}

bool Switch::convert(PyObject* value, const char* name, Option<bool>& out) {
  bool b = false;
  if (!bool_from(value, name, b)) return false;
  out.give(b);
  return true;
}

bool MaybeSwitch::convert(PyObject* value, const char* name, Option<bool>& out) {
  return value == Py_None || Switch::convert(value, name, out);
}

bool MaybeCount::convert(PyObject* value, const char* name, Option<std::uint64_t>& out) {
  if (value == Py_None) return true;
  if (PyBool_Check(value) || !PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int or None, not %.100s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be between 0 and 2**64 - 1", name);
    return false;
  }
  out.give(v);
  return true;
}

bool Encoding::convert(PyObject* value, const char* name, Option<std::string>& out) {
  if (value == Py_None) return true;
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str or None, not %.100s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  std::string given(text, static_cast<std::size_t>(size));
  if (given.empty() || given.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_LookupError, "unknown encoding: %R", value);
    return false;
  }
  if (!encoding_known(given) && !python_codec_name(value, given)) return false;
  out.give(std::move(given));
  return true;
}

}  // namespace kinds

bool bool_from(PyObject* value, const char* name, bool& out) {
  if (value == nullptr) return true;
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a bool, not %.100s", name, Py_TYPE(value)->tp_name);
    return false;
  }
  out = value == Py_True;
  return true;
}

Py_ssize_t add_options(Parameters& params, OptionUse use) {
  const Py_ssize_t first = params.count();
  for (const Row& row : kRows) {
    if (!takes(use, row.scope)) continue;
    if (use != OptionUse::Repair || (row.scope & kPositional) == 0) params.keyword_only();
    params.optional(row.name, row.shown);
  }
  return first;
}

bool options_from(PyObject* const* values, OptionUse use, Dialect& dialect) {
  std::size_t i = 0;
#define GLEAVE_OPTION(name, kind, scope, field, flags, metavar, help, after, doc)             \
  if (takes(use, scope)) {                                                                    \
    PyObject* value = values[i++];                                                            \
    if (value != nullptr && !kinds::kind::convert(value, #name, dialect.field)) return false; \
  }
#include "bindings/kit/options.def"
#undef GLEAVE_OPTION
  if (const char* conflict = dialect.conflict()) {
    PyErr_SetString(PyExc_ValueError, conflict);
    return false;
  }
  return true;
}

std::string option_names(OptionUse use) {
  std::string out;
  for (const Row& row : kRows) {
    if (!takes(use, row.scope)) continue;
    if (!out.empty()) out += ", ";
    out += row.name;
  }
  return out;
}

PyObject* option_table() {
  constexpr std::size_t n = sizeof kRows / sizeof kRows[0];
  Ref table(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!table) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    const Row& r = kRows[i];
    PyObject* row = Py_BuildValue(
        "(ssOOssss)", r.name, r.kind, (r.scope & kPositional) != 0 ? Py_True : Py_False,
        (r.scope & kRepairOnly) != 0 ? Py_True : Py_False, r.flags, r.metavar, r.help, r.field);
    if (row == nullptr) return nullptr;
    PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), row);
  }
  return table.release();
}

}  // namespace gleave::kit
