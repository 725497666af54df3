// gleave_file(): repairs a file into an output (and a quarantine) that
// appear whole or not at all.
#include "bindings/product/native.hpp"

namespace gleave::native {

namespace {

PyObject* gleave_file(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {
        "input_path", "output_path",  "quarantine_path", GLEAVE_OPTION_KEYWORDS,
        "in_place",   "allow_binary", "cancel",          GLEAVE_DIALECT_KEYWORDS,
        nullptr};
    PathArg input, output;
    OptionalPath quarantine;
    OptionArgs option_args;
    DialectArgs dialect_args;
    PyObject* in_place = nullptr;
    PyObject* allow_binary = nullptr;
    PyObject* cancel = Py_None;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs,
            "O&O&|O&" GLEAVE_OPTION_FORMAT "$OOO" GLEAVE_DIALECT_FORMAT ":gleave_file",
            const_cast<char**>(keywords), path_converter, &input, path_converter, &output,
            optional_path_converter, &quarantine, GLEAVE_OPTION_POINTERS(option_args), &in_place,
            &allow_binary, &cancel, GLEAVE_DIALECT_POINTERS(dialect_args))) {
      return nullptr;
    }
    FileJob job;
    job.input = input.ref();
    job.output = output.ref();
    if (quarantine) job.quarantine = quarantine->ref();
    bool allow = true;
    job.dialect.emplace();
    if (!dialect_from(option_args, dialect_args, job.options, *job.dialect) ||
        !bool_from(in_place, "in_place", job.allow_in_place) ||
        !bool_from(allow_binary, "allow_binary", allow)) {
      return nullptr;
    }
    job.refuse_binary = !allow;
    ModuleState* state = state_of_module(module);
    PythonInterrupt interrupt(cancel == Py_None ? nullptr : cancel, state->cancelled_error);
    job.interrupt = &interrupt;
    auto result = without_gil(interrupt, [&] { return run_file_job(job); });
    if (!result) {
      const JobPaths paths{&input, &output, quarantine ? &*quarantine : nullptr};
      return raise_error(state, result.error(), paths, &interrupt);
    }
    const JobCounts& counts = result.value();
    return new_summary(state, counts, counts.delimiter, counts.input ? &*counts.input : nullptr);
  });
}

}  // namespace

PyMethodDef gleave_file_method = {
    "gleave_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gleave_file)),
    METH_VARARGS | METH_KEYWORDS,
    "gleave_file(input_path, output_path, quarantine_path=None, delimiter=None, quote_char=..., "
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True, *, "
    "in_place=False, allow_binary=True, cancel=None, encoding=None, skip_initial_space=None, "
    "preamble_lines=None, escape_char=..., comment_char=...)\n--\n\n"
    "Repairs a CSV file into output_path (and rejected rows into quarantine_path).\n\n"
    "The input is converted to UTF-8 (encoding=None detects it) and its dialect is detected:\n"
    "delimiter, quote character (quote_char=None: no quoting), blanks after a delimiter and\n"
    "lines above the table, which go to the quarantine. Any part given is used as given.\n"
    "Blank lines are skipped and counted (blank_rows). The output is UTF-8.\n\n"
    "The input is read once, a window at a time, whatever its size. Its encoding is decided on\n"
    "its first 8 MiB, a file's as a pipe's (or standard input's, or a URL's). In UTF-8, bytes\n"
    "that are not UTF-8 are read as cp1252 one by one and counted (fallback_bytes); under a\n"
    "named encoding, bytes that do not fit it are replaced with U+FFFD and counted\n"
    "(replaced_bytes).\n\n"
    "Both are written to temporary files beside them and renamed into place only when\n"
    "everything succeeded: on any error or interrupt nothing partial is left and existing\n"
    "files are untouched. Paths are str, bytes, os.PathLike or an open file descriptor\n"
    "(written directly). An input descriptor is read from where it stands and its offset\n"
    "is put back when the call returns (a pipe, which cannot seek, is consumed). Every pair\n"
    "of paths is compared as the files they name, in any spelling (file://, local://, links).\n"
    "An output naming the input is refused unless in_place=True. The dialect in force, given\n"
    "and detected parts together, is checked before anything is written (ValueError).\n"
    "allow_binary=False refuses input that is plainly not text (NotTextError). cancel, an\n"
    "object with is_set() such as threading.Event, stops the repair (Cancelled) when set.\n"
    "The interpreter lock is released while the file is read, repaired and written;\n"
    "Ctrl-C stops the repair within a fraction of a second (KeyboardInterrupt)."};

}  // namespace gleave::native
