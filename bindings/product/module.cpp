// csv_gleave._native: the module definition, its state and its execution
// step (multi-phase initialisation, so each interpreter gets its own state).
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <string>

namespace gleave::native {

namespace {

PyMethodDef* methods() {
  // Entry points: add a line here for each new function file.
  static PyMethodDef table[] = {
      arrow_stream_method(),
      gleave_file_method(),
      open_method(),
      sniff_method(),
      inspect_method(),
      detect_method(),
      repair_part_method(),  // one large file in parts
      join_parts_method(),   // ... joined
      table_part_method(),   // ... or each read as a table
      {nullptr, nullptr, 0, nullptr},
  };
  return table;
}

int add_exception(PyObject* module, const char* name, PyObject* base, const char* doc,
                  PyObject*& slot) {
  const std::string qualified = std::string("csv_gleave.") + name;
  slot = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
  if (slot == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, slot);
}

int module_exec_unguarded(PyObject* module) {
  ModuleState* state = state_of_module(module);
  if (add_summary_type(module, state) < 0) return -1;
  if (add_reader_type(module, state) < 0) return -1;
  if (add_arrow_stream_type(module, state) < 0) return -1;
  if (add_dialect_type(module, state) < 0) return -1;
  if (add_exception(module, "NotTextError", PyExc_ValueError,
                    "The input is plainly not text (NUL bytes, or mostly control bytes, in its "
                    "first 64 KiB); pass allow_binary=True to repair it anyway.",
                    state->not_text_error) < 0) {
    return -1;
  }
  if (add_exception(module, "Cancelled", PyExc_Exception,
                    "A repair was stopped because its cancel event was set.",
                    state->cancelled_error) < 0) {
    return -1;
  }
  // The dialect and repair options, for the package's CLI and its checks.
  kit::Ref options(kit::option_table());
  if (!options || PyModule_AddObjectRef(module, "OPTIONS", options.get()) < 0) return -1;
  return 0;
}

int module_exec(PyObject* module) {
  return kit::guarded(kGuardTexts, -1, [&] { return module_exec_unguarded(module); });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of_module(module);
  Py_VISIT(state->summary_type);
  Py_VISIT(state->reader_type);
  Py_VISIT(state->arrow_stream_type);
  Py_VISIT(state->dialect_type);
  Py_VISIT(state->utf8_name);
  Py_VISIT(state->not_text_error);
  Py_VISIT(state->cancelled_error);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* state = state_of_module(module);
  Py_CLEAR(state->summary_type);
  Py_CLEAR(state->reader_type);
  Py_CLEAR(state->arrow_stream_type);
  Py_CLEAR(state->dialect_type);
  Py_CLEAR(state->utf8_name);
  Py_CLEAR(state->not_text_error);
  Py_CLEAR(state->cancelled_error);
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "csv_gleave._native",
    "The native core of the csv_gleave package: file repairs whose outputs appear whole or\n"
    "not at all, readers of repaired rows, delimiter detection. Every call releases the\n"
    "interpreter lock while it reads, repairs and writes.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

ModuleState* state_of_module(PyObject* module) noexcept {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

ModuleState* state_of_type(PyTypeObject* type) noexcept {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace gleave::native

PyMODINIT_FUNC PyInit__native(void) {
  namespace native = gleave::native;
  // The method table is built once, each doc with its signature line.
  if (native::module_def.m_methods == nullptr) {
    PyMethodDef* methods = gleave::kit::guarded(
        native::kGuardTexts, static_cast<PyMethodDef*>(nullptr), [] { return native::methods(); });
    if (methods == nullptr) return nullptr;
    native::module_def.m_methods = methods;
  }
  return PyModuleDef_Init(&native::module_def);
}
