// detect(): how the product functions would read a file or a sample: its
// encoding and dialect, with the evidence for it.
#include <cstring>

#include "native.hpp"

namespace gleave::native {

namespace {

// Read from a file: enough for the detection sample after any conversion
// (UTF-32 takes four bytes a character).
constexpr std::size_t kFileSample = 1 << 20;

PyObject* char_or_none(std::optional<unsigned char> c) {
  return c ? PyUnicode_FromOrdinal(*c) : Py_NewRef(Py_None);
}

PyObject* evidence_list(const Dialect& d) {
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const CandidateEvidence& e : d.evidence) {
    Ref quote(char_or_none(e.quote_char));
    Ref escape(char_or_none(e.escape_char));
    if (!quote || !escape) return nullptr;
    Ref item(Py_BuildValue(
        "{sCsOsOsIsIsIsdsdsdsdsOsOsO}", "delimiter", static_cast<int>(e.delimiter), "quote_char",
        quote.get(), "skip_initial_space", e.skip_initial_space ? Py_True : Py_False, "rows",
        e.rows, "preamble_rows", e.preamble_rows, "width", e.width, "consistency", e.consistency,
        "pattern_score", e.pattern_score, "type_score", e.type_score, "score", e.score,
        "quotes_pair_up", e.quotes_pair_up ? Py_True : Py_False, "cuts_values",
        e.cuts_values ? Py_True : Py_False, "chosen", e.chosen ? Py_True : Py_False));
    if (item && PyDict_SetItemString(item.get(), "escape_char", escape.get()) < 0) return nullptr;
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* detect(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {
        "source",   "delimiter", "quote_char", "expected_columns", GLEAVE_DIALECT_KEYWORDS,
        "evidence", nullptr};
    PyObject* source = nullptr;
    OptionArgs option_args;
    DialectArgs dialect_args;
    PyObject* evidence_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO" GLEAVE_DIALECT_FORMAT "O:detect",
                                     const_cast<char**>(keywords), &source, &option_args.delimiter,
                                     &option_args.quote_char, &option_args.expected_columns,
                                     GLEAVE_DIALECT_POINTERS(dialect_args), &evidence_arg)) {
      return nullptr;
    }
    GleaveOptions options;
    DialectRequest request;
    // The evidence costs a dict per candidate: on a short sample that is
    // most of the call, so it is built only when asked for.
    bool evidence = false;
    if (!dialect_from(option_args, dialect_args, options, request) ||
        !bool_from(evidence_arg, "evidence", evidence)) {
      return nullptr;
    }

    PreparedText prepared;
    if (PyObject_CheckBuffer(source)) {  // the content itself
      Py_buffer view;
      if (PyObject_GetBuffer(source, &view, PyBUF_CONTIG_RO) < 0) return nullptr;
      const std::string_view bytes(static_cast<const char*>(view.buf),
                                   static_cast<std::size_t>(view.len));
      // The buffer is held (and so kept alive and unresized) until released.
      Py_BEGIN_ALLOW_THREADS try {
        prepared = prepare_text(bytes, options, request, evidence);
      } catch (...) {
        prepared.error = "out of memory";
      }
      Py_END_ALLOW_THREADS PyBuffer_Release(&view);
      if (!prepared.ok()) return PyErr_NoMemory();
    } else {
      PathArg input;
      if (!path_converter(source, &input)) return nullptr;
      ModuleState* state = state_of_module(module);
      PythonInterrupt interrupt(nullptr, state->cancelled_error);
      const FileRef ref = input.ref();
      std::optional<IoError> failed;
      without_gil(interrupt, [&] {
        try {
          auto prefix = read_prefix(ref.path, ref.fd, kFileSample);
          if (!prefix) {
            failed = std::move(*prefix.error().io());
          } else {
            const Prefix& p = prefix.value();
            prepared = prepare_sample(p.bytes, p.complete, options, request, evidence);
            // The sample's text may view the prefix: keep it with the result.
            if (prepared.ok() && prepared.converted.size() == 0 && !prepared.text.empty()) {
              prepared.converted.reserve(prepared.text.size());
              std::memcpy(prepared.converted.data(), prepared.text.data(), prepared.text.size());
              prepared.converted.set_size(prepared.text.size());
              prepared.text = prepared.converted.view();
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
      if (!prepared.ok()) return PyErr_NoMemory();
    }
    return dialect_dict(prepared);
  });
}

}  // namespace

PyObject* dialect_dict(const PreparedText& prepared) {
  const Dialect& d = prepared.dialect;
  Ref quote(char_or_none(d.quote_char));
  Ref evidence(evidence_list(d));
  Ref encoding(PyUnicode_FromStringAndSize(prepared.encoding.data(),
                                           static_cast<Py_ssize_t>(prepared.encoding.size())));
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
      static_cast<unsigned long long>(prepared.replaced), "evidence", evidence.get()));
  if (!dict || !structure_fields(d, dict.get())) return nullptr;
  return dict.release();
}

PyMethodDef detect_method = {
    "detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detect)),
    METH_VARARGS | METH_KEYWORDS,
    "detect(source, *, delimiter=None, quote_char=..., expected_columns=None, encoding=None, "
    "skip_initial_space=None, preamble_lines=None, escape_char=..., evidence=False)\n--\n\n"
    "How the product functions would read `source`, as a dict: encoding, delimiter,\n"
    "quote_char (None: no quoting), skip_initial_space, preamble_lines, header, the widths,\n"
    "not_a_table and, with evidence=True, the evidence (every candidate dialect tried, the\n"
    "chosen one first, each with its scores; otherwise an empty list). `source` is\n"
    "a path (str, os.PathLike or a file descriptor), whose first MiB is read, or the bytes\n"
    "themselves (bytes, bytearray, memoryview). Parts given are used as given."};

}  // namespace gleave::native
