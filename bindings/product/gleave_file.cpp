// gleave_file(): repairs a file into an output (and a quarantine) that
// appear whole or not at all.
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <string>

namespace gleave::native {

namespace {

const kit::Parameters& parameters() {
  static const kit::Parameters p = [] {
    kit::Parameters p("gleave_file");
    p.required("input_path").required("output_path").optional("quarantine_path", "None");
    kit::add_options(p, kit::OptionUse::Repair);
    p.optional("in_place", "False").optional("allow_binary", "True").optional("cancel", "None");
    return p;
  }();
  return p;
}
constexpr std::size_t kOptions = 3;
constexpr std::size_t kInPlace = kOptions + kit::option_count(kit::OptionUse::Repair);

PyObject* gleave_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    kit::Bound bound;
    if (!parameters().bind(args, nargsf, kwnames, bound)) return nullptr;
    PathArg input, output;
    OptionalPath quarantine;
    if (!path_from(bound[0], input) || !path_from(bound[1], output) ||
        !optional_path_from(bound[2], quarantine)) {
      return nullptr;
    }
    FileJob job;
    job.input = input.ref();
    job.output = output.ref();
    if (quarantine) job.quarantine = quarantine->ref();
    bool allow = true;
    if (!kit::options_from(&bound[kOptions], kit::OptionUse::Repair, job.dialect) ||
        !bool_from(bound[kInPlace], "in_place", job.allow_in_place) ||
        !bool_from(bound[kInPlace + 1], "allow_binary", allow)) {
      return nullptr;
    }
    job.refuse_binary = !allow;
    ModuleState* state = state_of_module(module);
    PythonInterrupt interrupt(cancel_from(bound[kInPlace + 2]), state->cancelled_error);
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

const char kDoc[] =
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
    "Ctrl-C stops the repair within a fraction of a second (KeyboardInterrupt).";

}  // namespace

PyMethodDef gleave_file_method() {
  static const std::string doc = parameters().doc(kDoc);
  return {"gleave_file", kit::as_cfunction(gleave_file), METH_FASTCALL | METH_KEYWORDS,
          doc.c_str()};
}

}  // namespace gleave::native
