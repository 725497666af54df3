// detect(): how the product functions would read a file or a sample: its
// encoding and dialect, with the evidence for it.
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/base/fd.hpp"
#include "engine/io/windowed.hpp"

namespace gleave::native {

namespace {

// Read from a file: enough for the detection sample after any conversion
// (UTF-32 takes four bytes a character).
constexpr std::size_t kFileSample = 1 << 20;

// inspect() shows the evidence as a list.
PyObject* evidence_list(const Dialect& d) {
  Ref tuple(evidence_tuple(d));
  return tuple ? PySequence_List(tuple.get()) : nullptr;
}

// Below this many bytes detection takes less time than handing the
// interpreter lock over and back, so it keeps the lock.
constexpr std::size_t kKeepLockBelow = 4096;

// detect(bytes) with nothing else given: no argument tuple, no keyword
// dict, the default options.
PyObject* detect_content(PyObject* module, PyObject* source, const Dialect& options) {
  Py_buffer view;
  // bytes are immutable and kept alive by the caller: read in place.
  const bool immutable = PyBytes_CheckExact(source);
  if (immutable) {
    view.buf = PyBytes_AS_STRING(source);
    view.len = PyBytes_GET_SIZE(source);
  } else if (PyObject_GetBuffer(source, &view, PyBUF_CONTIG_RO) < 0) {
    return nullptr;
  }
  const std::string_view bytes(static_cast<const char*>(view.buf),
                               static_cast<std::size_t>(view.len));
  PreparedText prepared;
  // The buffer is held (and so kept alive and unresized) until released.
  if (bytes.size() < kKeepLockBelow) {
    try {
      prepared = prepare_text(bytes, options);
    } catch (...) {
      prepared.status = IoError::from_fixed(IoFixed::OutOfMemory);
    }
  } else {
    Py_BEGIN_ALLOW_THREADS try { prepared = prepare_text(bytes, options); } catch (...) {
      prepared.status = IoError::from_fixed(IoFixed::OutOfMemory);
    }
    Py_END_ALLOW_THREADS
  }
  if (!immutable) PyBuffer_Release(&view);
  if (!prepared.ok()) return PyErr_NoMemory();
  if (Status s = check_dialect(prepared.dialect); !s) {
    return raise_error(state_of_module(module), s.error(), JobPaths{}, nullptr);
  }
  return new_dialect(state_of_module(module), prepared);
}

// Which of the tables the sample saw is the table, and which rows are
// notes under it, decided on the whole file as a repair of it decides
// (the same windowed reading), so that detect() and the repair's summary
// give one answer. It reads a descriptor of its own, so a caller's stays
// where it was. A pipe is not read past its sample: nullopt.
Result<std::optional<Dialect>> settled_on_file(const FileRef& ref, const Dialect& options,
                                               Interrupt* interrupt) {
  std::optional<Fd> own;
  off_t start = 0;
  if (ref.fd >= 0) {
    struct stat st;
    if (::fstat(ref.fd, &st) != 0) return IoError::from_errno(errno);
    if (!S_ISREG(st.st_mode)) return std::optional<Dialect>();
    start = ::lseek(ref.fd, 0, SEEK_CUR);
    if (start < 0) return IoError::from_errno(errno);
    const std::string self = "/proc/self/fd/" + std::to_string(ref.fd);
    auto copy = open_path(self, O_RDONLY | O_CLOEXEC, interrupt);
    if (!copy) return std::move(copy.error());
    own.emplace(std::move(copy.value()));
  } else {
    auto opened = open_path(ref.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, interrupt);
    if (!opened) return std::move(opened.error());
    struct stat st;
    if (::fstat(opened.value().get(), &st) != 0) return IoError::from_errno(errno);
    if (!S_ISREG(st.st_mode)) return std::optional<Dialect>();
    own.emplace(std::move(opened.value()));
  }
  if (::lseek(own->get(), start, SEEK_SET) < 0) return IoError::from_errno(errno);
  auto in = WindowedInput::open(own->get(), options, false, interrupt);
  if (!in) return std::move(in.error());
  return std::optional<Dialect>(in.value()->prepared().dialect);
}

PyObject* detect_file(PyObject* module, PyObject* source, const Dialect& options) {
  PathArg input;
  if (!path_from(source, input)) return nullptr;
  ModuleState* state = state_of_module(module);
  PythonInterrupt interrupt(nullptr, state->cancelled_error);
  const FileRef ref = input.ref();
  std::optional<IoError> failed;
  std::optional<GleaveError> refused;  // the whole file's reading refused the dialect
  PreparedText prepared;
  without_gil(interrupt, [&] {
    try {
      auto prefix = read_prefix(ref.path, ref.fd, kFileSample, &interrupt);
      if (!prefix) {
        failed = std::move(*prefix.error().io());
      } else {
        const Prefix& p = prefix.value();
        prepared = prepare_sample(p.bytes, p.complete, options);
        if (prepared.ok() && prepared.dialect.tables_undecided) {
          auto settled = settled_on_file(ref, options, &interrupt);
          if (!settled) {
            if (const IoError* io = settled.error().io()) {
              failed = *io;
            } else {
              refused.emplace(std::move(settled.error()));
            }
          } else if (settled.value()) {
            std::vector<CandidateEvidence> evidence = std::move(prepared.dialect.evidence);
            prepared.dialect = std::move(*settled.value());
            prepared.dialect.evidence = std::move(evidence);
          }
        }
      }
    } catch (...) {
      failed = IoError::from_fixed(IoFixed::OutOfMemory);
    }
    return 0;
  });
  if (failed) {
    return raise_error(state, GleaveError(std::move(*failed).at(IoRole::Input, ref.path)),
                       JobPaths{&input}, &interrupt);
  }
  if (refused) return raise_error(state, std::move(*refused), JobPaths{&input}, &interrupt);
  if (!prepared.ok()) return PyErr_NoMemory();
  if (Status s = check_dialect(prepared.dialect); !s) {
    return raise_error(state, s.error(), JobPaths{&input}, &interrupt);
  }
  // Only the dialect and the encoding are read off `prepared`, not its text
  // (which may view the prefix, gone by now).
  return new_dialect(state, prepared);
}

const kit::Parameters& parameters() {
  static const kit::Parameters p = [] {
    kit::Parameters p("detect");
    p.required("source").keyword_only();
    kit::add_options(p, kit::OptionUse::Detect);
    p.optional("evidence", "False");
    return p;
  }();
  return p;
}
constexpr std::size_t kEvidence = 1 + kit::option_count(kit::OptionUse::Detect);

// csv_gleave.remote.detect when `source` is a URL (a str with "://" or
// "::" that csv_gleave.remote.is_url accepts), else null with no exception.
// `*failed` is set when the check itself raised.
PyObject* remote_detect_for(PyObject* source, bool* failed) {
  *failed = false;
  if (!PyUnicode_CheckExact(source)) return nullptr;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(source, &size);
  if (text == nullptr) {
    PyErr_Clear();  // not encodable: no URL, and the path conversion says why
    return nullptr;
  }
  const std::string_view path(text, static_cast<std::size_t>(size));
  if (path.find("://") == std::string_view::npos && path.find("::") == std::string_view::npos) {
    return nullptr;
  }
  Ref remote(PyImport_ImportModule("csv_gleave.remote"));
  Ref is_url(remote ? PyObject_GetAttrString(remote.get(), "is_url") : nullptr);
  Ref verdict(is_url ? PyObject_CallOneArg(is_url.get(), source) : nullptr);
  const int url = verdict ? PyObject_IsTrue(verdict.get()) : -1;
  if (url <= 0) {
    *failed = url < 0;
    return nullptr;
  }
  PyObject* detect = PyObject_GetAttrString(remote.get(), "detect");
  *failed = detect == nullptr;
  return detect;
}

// A vectorcall entry point: detect(source) is most calls, and on a short
// sample an argument tuple and keyword dict, or a Python wrapper, would cost
// as much as the detection. A URL is handed to csv_gleave.remote, which
// streams it back here.
PyObject* detect(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (nargs >= 1) {
      bool failed = false;
      Ref remote(remote_detect_for(args[0], &failed));
      if (failed) return nullptr;
      if (remote)
        return PyObject_Vectorcall(remote.get(), args, static_cast<std::size_t>(nargs), kwnames);
    }
    kit::Bound bound;
    if (!parameters().bind(args, nargs, kwnames, bound)) return nullptr;
    Dialect options;
    // The evidence costs a dict per candidate: on a short sample that is
    // most of the call, so it is built only when asked for.
    bool evidence = false;
    if (!kit::options_from(&bound[1], kit::OptionUse::Detect, options) ||
        !bool_from(bound[kEvidence], "evidence", evidence)) {
      return nullptr;
    }
    options.keep_evidence = evidence;
    PyObject* source = bound[0];
    if (PyObject_CheckBuffer(source)) {
      return detect_content(module, source, options);
    }
    return detect_file(module, source, options);
  });
}

}  // namespace

PyObject* dialect_dict(const PreparedText& prepared) {
  const Dialect& d = prepared.dialect;
  Ref quote(char_or_none(d.quote_char));
  Ref evidence(evidence_list(d));
  const std::string& name = d.encoding;
  Ref encoding(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!quote || !evidence || !encoding) return nullptr;
  auto flag = [](bool b) { return b ? Py_True : Py_False; };
  Ref dict(Py_BuildValue(
      "{sOsCsOsOsKsOsKsKsOsOsOsOsKsO}", "encoding", encoding.get(), "delimiter",
      static_cast<int>(d.delimiter), "quote_char", quote.get(), "skip_initial_space",
      flag(d.skip_initial_space), "preamble_lines",
      static_cast<unsigned long long>(d.preamble_lines), "header", flag(d.header), "header_width",
      static_cast<unsigned long long>(d.header_width), "expected_width",
      static_cast<unsigned long long>(d.expected_width), "header_missing_first",
      flag(d.header_missing_first), "sep_line", flag(d.sep_line), "single_line",
      flag(d.single_line), "not_a_table", flag(d.not_a_table), "replaced_bytes",
      static_cast<unsigned long long>(d.replaced_bytes), "evidence", evidence.get()));
  if (!dict || !structure_fields(d, dict.get())) return nullptr;
  return dict.release();
}

namespace {

const char kDoc[] =
    "The encoding and dialect of `source`, as the product functions read it: a Dialect\n"
    "(encoding, delimiter, quote_char (None: no quoting), skip_initial_space, preamble_lines,\n"
    "header, the widths, not_a_table, ...).\n\n"
    "`source` is a path (str, os.PathLike or a file descriptor), whose first MiB is read, a\n"
    "URL (see csv_gleave.remote; storage_options= is then accepted too), or the content\n"
    "itself (bytes, bytearray, memoryview). A descriptor is read from where it stands and\n"
    "put back there (a pipe, which cannot seek, is consumed). A part given that the file's\n"
    "dialect contradicts (quote_char=',' on a comma-separated file) raises ValueError.\n"
    "Keyword options fix parts instead of detecting them (a character given as None:\n"
    "none of it, such as no quoting): ";
const char kDocTail[] =
    ".\nWith evidence=True the result also holds every\n"
    "candidate dialect tried and its scores (the chosen one first); that costs a dict per\n"
    "candidate, so it is left out by default.";

}  // namespace

PyMethodDef detect_method() {
  static const std::string doc =
      parameters().doc((kDoc + kit::option_names(kit::OptionUse::Detect) + kDocTail).c_str());
  return {"detect", kit::as_cfunction(detect), METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace gleave::native
