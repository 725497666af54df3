#include "bindings/kit/options.hpp"

#include <strings.h>

#include <cstring>
#include <new>

#include "engine/encoding/encoding.hpp"
#include "engine/io/job.hpp"

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
};

constexpr Row kRows[] = {
#define GLEAVE_OPTION(name, kind, scope, flags, metavar, help) \
  {#name, #kind, kinds::kind::shown, scope, flags, metavar, help},
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

bool value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

// The options given, into the engine's options and request.
void apply(const OptionValues& v, GleaveOptions& options, DialectRequest& request) {
  if (v.delimiter.given) options.delimiter = v.delimiter.value;
  if (v.quote_char.given) {
    request.quote_given = true;
    request.quote_char = v.quote_char.value;
    if (v.quote_char.value) options.quote_char = *v.quote_char.value;
  }
  if (v.fill_ragged_rows.given) options.fill_ragged_rows = v.fill_ragged_rows.value;
  if (v.merge_overflow.given) options.merge_overflow = v.merge_overflow.value;
  if (v.expected_columns.given) options.expected_columns = v.expected_columns.value;
  if (v.repair_quotes.given) options.repair_quotes = v.repair_quotes.value;
  if (v.encoding.given) request.encoding = v.encoding.value;
  if (v.skip_initial_space.given) request.skip_initial_space = v.skip_initial_space.value;
  if (v.preamble_lines.given) request.preamble_lines = v.preamble_lines.value;
  request.escape_given = v.escape_char.given;
  request.escape_char = v.escape_char.value;
  request.comment_given = v.comment_char.given;
  request.comment_char = v.comment_char.value;
}

// The parts given must work together; what is detected is checked once it is.
bool check_together(const GleaveOptions& options, const DialectRequest& request) {
  if (options.delimiter && !(request.quote_given && !request.quote_char)) {
    if (const char* conflict = dialect_conflict(*options.delimiter, options.quote_char, {})) {
      return value_error(conflict);
    }
  }
  const std::optional<unsigned char> quote =
      request.quote_given ? request.quote_char : std::nullopt;
  if (request.escape_char) {
    const unsigned char e = *request.escape_char;
    const char* conflict =
        dialect_conflict(options.delimiter.value_or(static_cast<unsigned char>(e ^ 1)), quote, e);
    if (conflict != nullptr) return value_error(conflict);
  }
  if (request.comment_char) {
    const unsigned char c = *request.comment_char;
    if (options.delimiter == c || (quote && *quote == c)) {
      return value_error("comment_char must differ from delimiter and quote_char");
    }
  }
  return true;
}

}  // namespace

namespace kinds {

bool Delimiter::convert(PyObject* value, const char* name, Option<Value>& out) {
  if (value == Py_None) return true;
  out.given = true;
  return control_byte(value, name, out.value);
}

bool Quote::convert(PyObject* value, const char* name, Option<Value>& out) {
  out.given = true;
  if (value == Py_None) return true;
  unsigned char c = 0;
  if (!control_byte(value, name, c)) return false;
  out.value = c;
  return true;
}

bool Switch::convert(PyObject* value, const char* name, Option<Value>& out) {
  out.given = true;
  return bool_from(value, name, out.value);
}

bool MaybeSwitch::convert(PyObject* value, const char* name, Option<Value>& out) {
  return value == Py_None || Switch::convert(value, name, out);
}

bool MaybeCount::convert(PyObject* value, const char* name, Option<Value>& out) {
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
  out = {v, true};
  return true;
}

bool Encoding::convert(PyObject* value, const char* name, Option<Value>& out) {
  if (value == Py_None) return true;
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str or None, not %.100s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  out.value.assign(text, static_cast<std::size_t>(size));
  out.given = true;
  if (out.value.empty() || out.value.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_LookupError, "unknown encoding: %R", value);
    return false;
  }
  return encoding_known(out.value) || python_codec_name(value, out.value);
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

bool options_from(PyObject* const* values, OptionUse use, GleaveOptions& options,
                  DialectRequest& request) {
  OptionValues given;
  std::size_t i = 0;
#define GLEAVE_OPTION(name, kind, scope, flags, metavar, help)                             \
  if (takes(use, scope)) {                                                                 \
    PyObject* value = values[i++];                                                         \
    if (value != nullptr && !kinds::kind::convert(value, #name, given.name)) return false; \
  }
#include "bindings/kit/options.def"
#undef GLEAVE_OPTION
  apply(given, options, request);
  return check_together(options, request);
}

PyObject* option_table() {
  constexpr std::size_t n = sizeof kRows / sizeof kRows[0];
  Ref table(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!table) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    const Row& r = kRows[i];
    PyObject* row = Py_BuildValue(
        "(ssOOsss)", r.name, r.kind, (r.scope & kPositional) != 0 ? Py_True : Py_False,
        (r.scope & kRepairOnly) != 0 ? Py_True : Py_False, r.flags, r.metavar, r.help);
    if (row == nullptr) return nullptr;
    PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), row);
  }
  return table.release();
}

}  // namespace gleave::kit
