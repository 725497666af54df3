#include "bindings/core/arguments.hpp"

#include <cstring>
#include <string>

namespace gleave::py {

// ---------------------------------------------------------------------------
// Conversion

namespace {

// Attaches "while processing '<param>'" to the pending exception through its
// add_note method; interpreters without notes get the exception unchanged.
bool fail_with_note(const char* param) {
  Ref exc = take_exception();
  if (exc) {
    Ref note(PyUnicode_FromFormat("while processing '%s'", param));
    Ref method(PyUnicode_InternFromString("add_note"));
    if (note && method) {
      PyObject* call_args[] = {exc.get(), note.get()};
      Ref r(PyObject_VectorcallMethod(method.get(), call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      nullptr));
    }
    PyErr_Clear();  // a failed add_note must not replace the real error
  }
  restore_exception(std::move(exc));
  return false;
}

Ref type_qualname(PyObject* obj) {
  return Ref(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
}

bool wrong_type(PyObject* value, const char* expected, const char* param) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    Ref name = type_qualname(value);
    if (name) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    }
  }
  return fail_with_note(param);
}

// One control byte from a str: "" gives `empty`, a longer text its first byte.
// A first character outside ASCII would be split in the data and written back
// mangled, so it is refused.
bool convert_control_byte(PyObject* value, const char* param, std::optional<unsigned char> empty,
                          std::optional<unsigned char>& out) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (!convert_utf8_view(value, param, data, size)) return false;
  if (size == 0) {
    out = empty;
    return true;
  }
  const auto first = static_cast<unsigned char>(data[0]);
  if (first >= 0x80) {
    PyErr_Format(PyExc_ValueError, "%s must be an ASCII character", param);
    return fail_with_note(param);
  }
  out = first;
  return true;
}

bool is_numpy_bool(PyObject* value) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Ref module(PyObject_GetAttrString(type, "__module__"));
  Ref name(module ? PyObject_GetAttrString(type, "__name__") : nullptr);
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
}

bool convert_bool(PyObject* value, const char* param, bool& out) {
  if (value == nullptr) return true;  // default kept
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return true;
  }
  if (!is_numpy_bool(value)) return wrong_type(value, "bool", param);
  PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
  if (nb == nullptr || nb->nb_bool == nullptr) {
    Ref name = type_qualname(value);
    if (name) {
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                   name.get());
    }
    return fail_with_note(param);
  }
  const int truth = nb->nb_bool(value);
  if (truth < 0) return fail_with_note(param);
  out = truth != 0;
  return true;
}

bool convert_count(PyObject* value, const char* param, std::optional<std::uint64_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  Ref index = PyLong_Check(value) ? Ref::borrow(value) : Ref(PyNumber_Index(value));
  if (!index) return fail_with_note(param);
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_with_note(param);
  out = v;
  return true;
}

}  // namespace

bool convert_utf8_view(PyObject* value, const char* param, const char*& data, Py_ssize_t& size) {
  if (!PyUnicode_Check(value)) return wrong_type(value, "str", param);
  data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return fail_with_note(param);
  return true;
}

bool convert_str(PyObject* value, const char* param, std::string& out) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (!convert_utf8_view(value, param, data, size)) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_options(PyObject* const* values, Dialect& options) {
  PyObject* delimiter = values[0];
  if (delimiter != nullptr && delimiter != Py_None) {
    std::optional<unsigned char> byte;
    if (!convert_control_byte(delimiter, "delimiter", std::nullopt, byte)) return false;
    if (byte) options.delimiter.give(*byte);  // "" sniffs, as None does
  }
  if (values[1] != nullptr) {
    std::optional<unsigned char> quote;
    if (!convert_control_byte(values[1], "quote_char", '"', quote)) return false;
    options.quote_char.give(quote);
  }
  bool fill = true, merge = true, repair = true;
  std::optional<std::uint64_t> width;
  if (!convert_bool(values[2], "fill_ragged_rows", fill) ||
      !convert_bool(values[3], "merge_overflow", merge) ||
      !convert_count(values[4], "expected_columns", width) ||
      !convert_bool(values[5], "repair_quotes", repair)) {
    return false;
  }
  options.fill_ragged_rows.give(fill);
  options.merge_overflow.give(merge);
  options.repair_quotes.give(repair);
  if (width) options.expected_width.give(*width);
  return true;
}

}  // namespace gleave::py
