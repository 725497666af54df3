// Shared pieces of csv_gleave._native: the module state, references, the
// conversion of arguments and options, errors, and running engine work with
// the interpreter lock released.
//
// Adding an entry point: write bindings/product/<name>.cpp defining a PyMethodDef
// (METH_VARARGS | METH_KEYWORDS, `self` is the module), declare it below and
// list it in module.cpp's method table. Parse arguments with
// PyArg_ParseTupleAndKeywords, paths with path_converter, the repair options
// with OptionArgs + options_from; run engine work through without_gil(); turn
// an engine error into an exception with raise_error().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "engine/base/error.hpp"
#include "engine/base/interrupt.hpp"
#include "engine/io/job.hpp"
#include "engine/product_pass/product_pass.hpp"
#include "engine/repair/pass.hpp"

namespace gleave::native {

// ---------------------------------------------------------------------------
// References

// Owns one strong reference; the constructor steals.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* steal) noexcept : p_(steal) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// The pending exception, taken out of the indicator (empty when none).
Ref take_exception() noexcept;
// Makes `exc` pending again (stolen).
void restore_exception(Ref exc) noexcept;

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
// An "O&" converter for PathArg (Py_None is refused: use optional_path_converter).
int path_converter(PyObject* obj, void* out);
// The same, leaving `out` untouched for None; the PathArg is then not set.
int optional_path_converter(PyObject* obj, void* out);
using OptionalPath = std::optional<PathArg>;

// The six repair options as given (borrowed; NULL when not given), in the
// order every entry point takes them after its paths.
struct OptionArgs {
  PyObject* delimiter = nullptr;
  PyObject* quote_char = nullptr;
  PyObject* fill_ragged_rows = nullptr;
  PyObject* merge_overflow = nullptr;
  PyObject* expected_columns = nullptr;
  PyObject* repair_quotes = nullptr;
};
// Format units and keyword names of the six, to splice into an entry point's.
#define GLEAVE_OPTION_FORMAT "OOOOOO"
#define GLEAVE_OPTION_KEYWORDS                                                         \
  "delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns", \
      "repair_quotes"
#define GLEAVE_OPTION_POINTERS(o)                                              \
  &(o).delimiter, &(o).quote_char, &(o).fill_ragged_rows, &(o).merge_overflow, \
      &(o).expected_columns, &(o).repair_quotes

// Validates every option in one place: the delimiter (None: detected) and
// the quote are one ASCII character or a name (tab, comma, semicolon, pipe,
// space, colon, ...), differ from each other and are neither CR nor LF; the
// switches are bools; expected_columns is None or an int >= 0. False with
// TypeError or ValueError set.
bool options_from(const OptionArgs& args, GleaveOptions& options);

// The dialect options, keyword-only after the six: the input's encoding
// (None: detected), whether blanks after a delimiter are skipped and how
// many lines stand above the table (None: detected).
struct DialectArgs {
  PyObject* encoding = nullptr;
  PyObject* skip_initial_space = nullptr;
  PyObject* preamble_lines = nullptr;
  PyObject* escape_char = nullptr;
  PyObject* comment_char = nullptr;
};
#define GLEAVE_DIALECT_FORMAT "OOOOO"
#define GLEAVE_DIALECT_KEYWORDS \
  "encoding", "skip_initial_space", "preamble_lines", "escape_char", "comment_char"
#define GLEAVE_DIALECT_POINTERS(o) \
  &(o).encoding, &(o).skip_initial_space, &(o).preamble_lines, &(o).escape_char, &(o).comment_char

// options_from for the product pass: a quote_char given explicitly may also
// be None (no quoting); left out, it is detected. The encoding is None or a
// name iconv knows (LookupError otherwise), skip_initial_space None or a
// bool, preamble_lines None or an int >= 0, escape_char left out (detected),
// None (quotes are doubled) or one ASCII character; comment_char likewise
// (None: no comment lines).
bool dialect_from(const OptionArgs& args, const DialectArgs& dialect, GleaveOptions& options,
                  DialectRequest& request);

// A keyword-only switch: bool only. False with TypeError set.
bool bool_from(PyObject* value, const char* name, bool& out);

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
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "out of memory");
  } catch (const std::length_error&) {
    PyErr_SetString(PyExc_MemoryError, "out of memory");
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in csv_gleave._native");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Entry points and types (one file each)

extern PyMethodDef gleave_file_method;  // gleave_file.cpp
extern PyMethodDef open_method;         // reader.cpp
extern PyMethodDef sniff_method;        // sniff.cpp
extern PyMethodDef inspect_method;      // inspect.cpp
extern PyMethodDef detect_method;       // detect.cpp
extern PyMethodDef repair_part_method;  // split.cpp
extern PyMethodDef join_parts_method;   // split.cpp

// Create a type and add it to the module, recording it in the state.
int add_summary_type(PyObject* module, ModuleState* state);  // summary.cpp
int add_reader_type(PyObject* module, ModuleState* state);   // reader.cpp
int add_dialect_type(PyObject* module, ModuleState* state);  // dialect.cpp

// A new GleaveSummary from a pass's counts and delimiter.
PyObject* new_summary(ModuleState* state, const GleaveCounts& counts, unsigned char delimiter);
// The same with how the product pass read the input (may be null).
PyObject* new_summary(ModuleState* state, const GleaveCounts& counts, unsigned char delimiter,
                      const InputReport* input);
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
Result<JobCounts> read_with_product_pass(const FileRef& input, const GleaveOptions& options,
                                         const DialectRequest& request, bool refuse_binary,
                                         Interrupt& interrupt, Sink& sink, Hold&& hold) {
  auto text = read_input(input, &interrupt, refuse_binary);
  if (!text) return std::move(text.error());
  PreparedText prepared = prepare_text(text.value().view(), options, request);
  if (!prepared.ok()) return IoError::from_errno(EINVAL).at(IoRole::Input, input.path);
  if (auto conflict = check_dialect(prepared, options, request)) return std::move(*conflict);
  hold(text.value(), prepared);
  // Converted text no longer needs the input's own bytes: freeing them now
  // keeps a re-encoded file from being held twice while the rows are built.
  const std::string_view raw = text.value().view();
  const bool views_input = prepared.text.data() >= raw.data() &&
                           prepared.text.data() <= raw.data() + raw.size() && !raw.empty();
  if (!views_input) text.value() = ByteBuffer();
  const ProductCounts counts = run_product_pass(prepared, options, sink);
  JobCounts out;
  static_cast<GleaveCounts&>(out) = counts;
  out.delimiter = counts.delimiter;
  out.input = input_report(prepared, counts);
  return out;
}

// arrow_stream.cpp: the function and its type.
extern PyMethodDef arrow_stream_method;
int add_arrow_stream_type(PyObject* module, ModuleState* state);

}  // namespace gleave::native
