// Conversion of paths and options, shared by every entry point.
#include <cstring>
#include <new>
#include <string>

#include "engine/encoding/encoding.hpp"

#include "bindings/product/native.hpp"

namespace gleave::native {

namespace {

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
bool python_codec_name(PyObject* given, DialectRequest& request) {
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
        request.encoding = std::move(mapped);
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

Ref take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref(value);
#endif
}

void restore_exception(Ref exc) noexcept {
  PyObject* value = exc.release();
  if (value == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

int path_converter(PyObject* obj, void* out) {
  auto* arg = static_cast<PathArg*>(out);
  arg->given = Ref::borrow(obj);
  if (PyLong_Check(obj) && !PyBool_Check(obj)) {
    const long fd = PyLong_AsLong(obj);
    if (fd == -1 && PyErr_Occurred()) return 0;
    if (fd < 0 || fd > INT32_MAX) {
      PyErr_SetString(PyExc_ValueError, "a file descriptor must be a non-negative int");
      return 0;
    }
    arg->fd = static_cast<int>(fd);
    arg->path = "<fd " + std::to_string(fd) + ">";
    return 1;
  }
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(obj, &bytes)) return 0;  // TypeError, or ValueError for NUL
  Ref owned(bytes);
  arg->path.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  return 1;
}

int optional_path_converter(PyObject* obj, void* out) {
  auto* arg = static_cast<OptionalPath*>(out);
  if (obj == Py_None) return 1;
  arg->emplace();
  return path_converter(obj, &**arg);
}

bool bool_from(PyObject* value, const char* name, bool& out) {
  if (value == nullptr) return true;
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a bool, not %.100s", name, Py_TYPE(value)->tp_name);
    return false;
  }
  out = value == Py_True;
  return true;
}

bool options_from(const OptionArgs& args, GleaveOptions& options) {
  if (args.delimiter != nullptr && args.delimiter != Py_None) {
    unsigned char d = 0;
    if (!control_byte(args.delimiter, "delimiter", d)) return false;
    options.delimiter = d;
  }
  if (args.quote_char != nullptr) {
    if (!control_byte(args.quote_char, "quote_char", options.quote_char)) return false;
  }
  if (options.delimiter) {
    if (const char* conflict = dialect_conflict(*options.delimiter, options.quote_char, {})) {
      PyErr_SetString(PyExc_ValueError, conflict);
      return false;
    }
  }
  if (!bool_from(args.fill_ragged_rows, "fill_ragged_rows", options.fill_ragged_rows) ||
      !bool_from(args.merge_overflow, "merge_overflow", options.merge_overflow) ||
      !bool_from(args.repair_quotes, "repair_quotes", options.repair_quotes)) {
    return false;
  }
  PyObject* columns = args.expected_columns;
  if (columns != nullptr && columns != Py_None) {
    if (PyBool_Check(columns) || !PyLong_Check(columns)) {
      PyErr_Format(PyExc_TypeError, "expected_columns must be an int or None, not %.100s",
                   Py_TYPE(columns)->tp_name);
      return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(columns);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "expected_columns must be between 0 and 2**64 - 1");
      return false;
    }
    options.expected_columns = v;
  }
  return true;
}

bool dialect_from(const OptionArgs& args, const DialectArgs& dialect, GleaveOptions& options,
                  DialectRequest& request) {
  OptionArgs rest = args;
  if (args.quote_char == Py_None) {  // no quoting at all
    request.quote_given = true;
    request.quote_char.reset();
    rest.quote_char = nullptr;
  }
  if (!options_from(rest, options)) return false;
  if (rest.quote_char != nullptr) {
    request.quote_given = true;
    request.quote_char = options.quote_char;
  }
  if (dialect.encoding != nullptr && dialect.encoding != Py_None) {
    if (!PyUnicode_Check(dialect.encoding)) {
      PyErr_Format(PyExc_TypeError, "encoding must be a str or None, not %.100s",
                   Py_TYPE(dialect.encoding)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(dialect.encoding, &size);
    if (name == nullptr) return false;
    request.encoding.assign(name, static_cast<std::size_t>(size));
    if (request.encoding.empty() || request.encoding.find('\0') != std::string::npos) {
      PyErr_Format(PyExc_LookupError, "unknown encoding: %R", dialect.encoding);
      return false;
    }
    if (!encoding_known(request.encoding) && !python_codec_name(dialect.encoding, request)) {
      return false;
    }
  }
  if (dialect.skip_initial_space != nullptr && dialect.skip_initial_space != Py_None) {
    bool skip = false;
    if (!bool_from(dialect.skip_initial_space, "skip_initial_space", skip)) return false;
    request.skip_initial_space = skip;
  }
  PyObject* lines = dialect.preamble_lines;
  if (lines != nullptr && lines != Py_None) {
    if (PyBool_Check(lines) || !PyLong_Check(lines)) {
      PyErr_Format(PyExc_TypeError, "preamble_lines must be an int or None, not %.100s",
                   Py_TYPE(lines)->tp_name);
      return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(lines);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "preamble_lines must be between 0 and 2**64 - 1");
      return false;
    }
    request.preamble_lines = v;
  }
  if (dialect.escape_char != nullptr) {
    request.escape_given = true;
    if (dialect.escape_char != Py_None) {
      unsigned char e = 0;
      if (!control_byte(dialect.escape_char, "escape_char", e)) return false;
      const char* conflict =
          dialect_conflict(options.delimiter.value_or(static_cast<unsigned char>(e ^ 1)),
                           request.quote_given ? request.quote_char : std::nullopt, e);
      if (conflict != nullptr) {
        PyErr_SetString(PyExc_ValueError, conflict);
        return false;
      }
      request.escape_char = e;
    }
  }
  if (dialect.comment_char != nullptr) {
    request.comment_given = true;
    if (dialect.comment_char != Py_None) {
      unsigned char c = 0;
      if (!control_byte(dialect.comment_char, "comment_char", c)) return false;
      if ((options.delimiter && *options.delimiter == c) ||
          (request.quote_given && request.quote_char == c)) {
        PyErr_SetString(PyExc_ValueError, "comment_char must differ from delimiter and quote_char");
        return false;
      }
      request.comment_char = c;
    }
  }
  return true;
}

}  // namespace gleave::native
