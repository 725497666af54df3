// The module definition, its execution step and sniff().
#include "bindings/core/arguments.hpp"
#include "bindings/core/module.hpp"
#include "bindings/core/summary.hpp"
#include "engine/detect/heuristics.hpp"

// The version is pyproject.toml's, handed in by the build.
#ifndef GLEAVE_VERSION
#error "GLEAVE_VERSION must be defined by the build"
#endif

namespace gleave::py {

namespace {

const char kModuleDoc[] =
    "High-performance, fault-tolerant CSV gleave and reconstruction engine.\n\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

const char* const kSniffParams[] = {"sample"};
const Signature kSniffSignature{"sniff()", kSniffParams, 1, 1};

PyObject* sniff_impl(const char* sample, Py_ssize_t size) {
  const unsigned char d = sniff_delimiter(std::string_view(sample, static_cast<std::size_t>(size)));
  return PyUnicode_FromOrdinal(d);
}

PyObject* sniff_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(kSniffSignature, args, nargsf, kwnames, bound)) return nullptr;
    const char* sample = nullptr;
    Py_ssize_t size = 0;
    if (!convert_utf8_view(bound[0], "sample", sample, size)) return nullptr;  // no copy
    return sniff_impl(sample, size);
  });
}

constexpr int kFunctionFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

using kit::as_cfunction;

PyMethodDef function_defs[] = {
    {"gleave_file", as_cfunction(gleave_file_fastcall), kFunctionFlags,
     "gleave_file(input_path, output_path, quarantine_path=None, delimiter=None, "
     "quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
     "repair_quotes=True)\n"
     "--\n"
     "\n"
     "Gleaves a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
     "\n"
     "Args:\n"
     "    input_path: Path to the corrupted CSV file.\n"
     "    output_path: Path where the repaired CSV file will be written.\n"
     "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
     "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, "
     "auto-sniffed.\n"
     "    quote_char: Optional single-character quote enclosure (default '\"').\n"
     "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
     "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
     "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
     "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True."},
    {"sniff", as_cfunction(sniff_fastcall), kFunctionFlags,
     "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample."},
    {"open", as_cfunction(open_fastcall), kFunctionFlags,
     "open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
     "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
     "Convenience function to open and stream a gleaved CSV file."},
};

int set_attr(PyObject* module, const char* name, Ref value) {
  if (!value) return -1;
  return PyObject_SetAttrString(module, name, value.get());
}

int module_exec(PyObject* module) {
  // 1-3. Version, doc and the public names.
  if (set_attr(module, "__version__", Ref(PyUnicode_FromString(GLEAVE_VERSION))) < 0) return -1;
  if (set_attr(module, "__doc__", Ref(PyUnicode_FromString(kModuleDoc))) < 0) return -1;
  if (set_attr(module, "__all__",
               Ref(Py_BuildValue("[sssss]", "gleave_file", "sniff", "open", "GleaveSummary",
                                 "GleaveReader"))) < 0) {
    return -1;
  }
  // 4. The three functions, each stored under its own __name__.
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& def : function_defs) {
    Ref function(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return -1;
    Ref name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
      PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
      return -1;
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return -1;
  }
  // 5. The two classes, created once per process.
  PyTypeObject* summary = summary_type();
  if (summary == nullptr) return -1;
  if (set_attr(module, "GleaveSummary", Ref::borrow(reinterpret_cast<PyObject*>(summary))) < 0) {
    return -1;
  }
  PyTypeObject* reader = reader_type();
  if (reader == nullptr) return -1;
  if (set_attr(module, "GleaveReader", Ref::borrow(reinterpret_cast<PyObject*>(reader))) < 0) {
    return -1;
  }
  return 0;
}

int module_exec_guarded(PyObject* module) {
  return guarded<int>(-1, [&] { return module_exec(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec_guarded)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_csv_gleave_backend",
    "The native _csv_gleave_backend Python module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace gleave::py

// PyMODINIT_FUNC already declares the function extern "C" in C++.
PyMODINIT_FUNC PyInit__csv_gleave_backend(void) {
  return PyModuleDef_Init(&gleave::py::module_def);
}
