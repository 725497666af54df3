// gleave_file(): repairs a CSV file on disk and returns a GleaveSummary.
#include "bindings/core/module.hpp"  // Python.h comes first, before any standard header.

#include <optional>
#include <string>

#include "bindings/core/arguments.hpp"
#include "bindings/core/summary.hpp"

namespace gleave::py {

PyObject* raise_gleave_error(const GleaveError& error) {
  // Io errors become OSError itself, with one argument, so errno, strerror
  // and filename stay None; the other kinds become ValueError.
  PyObject* type = error.kind() == GleaveError::Kind::Io ? PyExc_OSError : PyExc_ValueError;
  const std::string text = error.message();
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

namespace {

const char* const kParams[] = {"input_path", "output_path", "quarantine_path",
                               GLEAVE_CORE_OPTION_PARAMS};
const Signature kSignature{"gleave_file()", kParams, 9, 2};

PyObject* gleave_file_impl(const std::string& input_path, const std::string& output_path,
                           const std::optional<std::string>& quarantine_path,
                           const Dialect& options) {
  auto result = gleave_file(input_path, output_path, quarantine_path, options);
  if (!result) return raise_gleave_error(result.error());
  return new_summary(summary_from(result.value(), result.value().delimiter));
}

}  // namespace

PyObject* gleave_file_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[9];
    if (!bind_fastcall(kSignature, args, nargsf, kwnames, bound)) return nullptr;
    std::string input_path, output_path;
    std::optional<std::string> quarantine_path;
    if (!convert_str(bound[0], "input_path", input_path)) return nullptr;
    if (!convert_str(bound[1], "output_path", output_path)) return nullptr;
    if (bound[2] != nullptr && bound[2] != Py_None) {
      quarantine_path.emplace();
      if (!convert_str(bound[2], "quarantine_path", *quarantine_path)) return nullptr;
    }
    Dialect options;
    if (!convert_options(bound + 3, options)) return nullptr;
    return gleave_file_impl(input_path, output_path, quarantine_path, options);
  });
}

}  // namespace gleave::py
