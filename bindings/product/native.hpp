// Shared pieces of csv_gleave._native over the binding kit: the module
// state, path arguments, errors, and running engine work with the
// interpreter lock released.
//
// Adding an entry point: write bindings/product/<name>.cpp with a function
// that returns its PyMethodDef (METH_FASTCALL | METH_KEYWORDS, `self` is the
// module), declare it below and list it in module.cpp's method table. Its
// kit::Parameters (with kit::add_options for the dialect and repair options)
// bind the arguments and write the doc's signature line; convert paths with
// path_from and the options with kit::options_from; run engine work through
// without_gil(); turn an engine error into an exception with raise_error().
#pragma once

#include "bindings/kit/options.hpp"  // Python.h comes first, before any standard header.

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "engine/base/error.hpp"
#include "engine/base/interrupt.hpp"
#include "engine/io/job.hpp"
#include "engine/product_pass/product_pass.hpp"
#include "engine/repair/pass.hpp"

struct ArrowArrayStream;  // the Arrow C stream interface

namespace gleave::native {

using kit::bool_from;
using kit::Ref;
using kit::restore_exception;
using kit::take_exception;

inline constexpr kit::GuardTexts kGuardTexts{"internal error in csv_gleave._native",
                                             "out of memory"};

// ---------------------------------------------------------------------------
// Module state

struct ModuleState {
  PyTypeObject* summary_type = nullptr;
  PyTypeObject* reader_type = nullptr;
  PyObject* not_text_error = nullptr;   // NotTextError(ValueError)
  PyObject* cancelled_error = nullptr;  // Cancelled(Exception)
  // The table of arrow_stream(), in arrow_stream.cpp.
  PyTypeObject* arrow_stream_type = nullptr;
  PyTypeObject* dialect_type = nullptr;  // dialect.cpp
  PyObject* utf8_name = nullptr;         // "utf-8", the encoding of most inputs
};

ModuleState* state_of_module(PyObject* module) noexcept;
ModuleState* state_of_type(PyTypeObject* type) noexcept;

// ---------------------------------------------------------------------------
// Arguments

// A path argument: str, bytes or os.PathLike (through PyUnicode_FSConverter,
// which refuses a NUL byte), or a non-negative int file descriptor. The
// object as given is kept for error messages.
struct PathArg {
  Ref given;
  std::string path;  // the file system encoding's bytes; for a descriptor, "<fd N>"
  int fd = -1;
  FileRef ref() const { return FileRef{path, fd}; }
};
// Converts a path argument; false with TypeError or ValueError set.
bool path_from(PyObject* obj, PathArg& out);
// The same, leaving `out` empty for None (or NULL: not given).
bool optional_path_from(PyObject* obj, std::optional<PathArg>& out);
using OptionalPath = std::optional<PathArg>;

// The cancel argument: NULL or None for none, else an object with is_set().
inline PyObject* cancel_from(PyObject* value) {
  return value == Py_None ? nullptr : value;
}

// ---------------------------------------------------------------------------
// Running engine work

// Lets a job running with the interpreter lock released be interrupted: at
// most every 50 ms it takes the lock back and calls PyErr_CheckSignals (so a
// Ctrl-C in the main thread runs Python's handler, KeyboardInterrupt by
// default) and, when given, asks `cancel.is_set()`. The exception is kept
// and raised once the job has cleaned up.
class PythonInterrupt final : public Interrupt {
 public:
  PythonInterrupt(PyObject* cancel, PyObject* cancelled_type) noexcept
      : cancel_(cancel), cancelled_type_(cancelled_type) {}
  bool requested() override;
  bool requested_now() override;

  void release() noexcept { thread_ = PyEval_SaveThread(); }
  void acquire() noexcept { PyEval_RestoreThread(thread_); }
  bool stopped() const noexcept { return stopped_; }
  // The exception that stopped the job (empty if none).
  Ref take_pending() noexcept { return std::move(pending_); }

 private:
  PyObject* cancel_;
  PyObject* cancelled_type_;
  PyThreadState* thread_ = nullptr;
  std::chrono::steady_clock::time_point next_{};
  bool stopped_ = false;
  Ref pending_;
};

// Runs body() with the lock released. body must touch no Python object and
// catch what it throws (engine calls never throw).
template <class Body>
auto without_gil(PythonInterrupt& interrupt, Body&& body) {
  interrupt.release();
  auto result = body();
  interrupt.acquire();
  return result;
}

// ---------------------------------------------------------------------------
// Errors

// The Python paths of a job, for naming the file an error concerns.
struct JobPaths {
  const PathArg* input = nullptr;
  const PathArg* output = nullptr;
  const PathArg* quarantine = nullptr;
};

// Sets the exception for an engine error and returns NULL. Errors with an
// errno become the matching OSError subclass with errno, strerror and
// filename (the path as the caller gave it) and a `role` attribute
// ("input", "output" or "quarantine"); an interrupt re-raises what stopped
// the job (KeyboardInterrupt for Ctrl-C); exhausted memory is a MemoryError
// with a message; input that is not text is NotTextError.
PyObject* raise_error(ModuleState* state, const GleaveError& error, const JobPaths& paths,
                      PythonInterrupt* interrupt);

// Runs body() and turns a C++ exception into MemoryError or RuntimeError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return kit::guarded(kGuardTexts, static_cast<PyObject*>(nullptr), std::forward<Body>(body));
}

// ---------------------------------------------------------------------------
// Entry points and types (one file each)

// Each built once (its doc's signature line from its parameters).
PyMethodDef gleave_file_method();  // gleave_file.cpp
PyMethodDef open_method();         // reader.cpp
PyMethodDef sniff_method();        // sniff.cpp
PyMethodDef inspect_method();      // inspect.cpp
PyMethodDef detect_method();       // detect.cpp
PyMethodDef repair_part_method();  // split.cpp
PyMethodDef join_parts_method();   // split.cpp
PyMethodDef table_part_method();   // split.cpp

// A PyCapsule "arrow_array_stream" that owns `stream` (allocated with new);
// on failure the stream is released and freed (arrow_stream.cpp).
PyObject* stream_capsule(ArrowArrayStream* stream);

// Create a type and add it to the module, recording it in the state.
int add_summary_type(PyObject* module, ModuleState* state);  // summary.cpp
int add_reader_type(PyObject* module, ModuleState* state);   // reader.cpp
int add_dialect_type(PyObject* module, ModuleState* state);  // dialect.cpp

// A new GleaveSummary from a pass's counts and delimiter.
PyObject* new_summary(ModuleState* state, const GleaveCounts& counts, unsigned char delimiter);
// The same with how the product pass read the input (may be null).
PyObject* new_summary(ModuleState* state, const GleaveCounts& counts, unsigned char delimiter,
                      const InputRead* input);
// The dialect of prepared text as a Dialect (detect()) or as a dict (inspect()).
PyObject* new_dialect(ModuleState* state, const PreparedText& prepared);
PyObject* dialect_dict(const PreparedText& prepared);
// Adds the table's structure to a dialect dict: escape_char (None or one
// character), header_rows, tables and other_table_line. False with an exception set.
bool structure_fields(const Dialect& d, PyObject* dict);
// One candidate of the evidence as a dict of its scores.
PyObject* candidate_dict(const CandidateEvidence& e);
// Every candidate of the evidence, the chosen one first, as a tuple of those dicts.
PyObject* evidence_tuple(const Dialect& d);
// A one-character str, or None.
PyObject* char_or_none(std::optional<unsigned char> c);

// Reads the whole input and runs the product pass over it, as open() and
// arrow_stream() both must for every loader to keep the same rows: the same
// conversion to UTF-8, detection, preamble and blank-line rules.
// `hold(input_bytes, prepared)` runs before the pass and may take either
// buffer (a ByteBuffer's bytes stay put when it moves). Call with the lock
// released; throws only std::bad_alloc and std::length_error.
template <class Sink, class Hold>
Result<JobCounts> read_with_product_pass(const FileRef& input, const Dialect& options,
                                         bool refuse_binary, Interrupt& interrupt, Sink& sink,
                                         Hold&& hold) {
  auto text = read_input(input, &interrupt, refuse_binary);
  if (!text) return std::move(text.error());
  PreparedText prepared = prepare_text(text.value().view(), options);
  if (!prepared.ok()) return IoError::from_errno(EINVAL).at(IoRole::Input, input.path);
  if (Status s = check_dialect(prepared.dialect); !s) return std::move(s.error());
  hold(text.value(), prepared);
  // Converted text no longer needs the input's own bytes: freeing them now
  // keeps a re-encoded file from being held twice while the rows are built.
  const std::string_view raw = text.value().view();
  const bool views_input = prepared.text.data() >= raw.data() &&
                           prepared.text.data() <= raw.data() + raw.size() && !raw.empty();
  if (!views_input) text.value() = ByteBuffer();
  const ProductCounts counts = run_product_pass(prepared, sink);
  JobCounts out;
  static_cast<GleaveCounts&>(out) = counts;
  out.delimiter = counts.delimiter;
  out.input = input_read(prepared, counts);
  return out;
}

// arrow_stream.cpp: the function and its type.
PyMethodDef arrow_stream_method();
int add_arrow_stream_type(PyObject* module, ModuleState* state);

}  // namespace gleave::native
