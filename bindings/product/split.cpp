// repair_part() and join_parts(): one large file repaired in parts, side by
// side, and the parts joined into the file one repair of the whole gives
// (see engine/split/split.hpp; csv_gleave.dask drives them).
#include <climits>
#include <vector>

#include "bindings/product/native.hpp"
#include "engine/split/split.hpp"

namespace gleave::native {

namespace {

bool u64_from(PyObject* value, const char* name, std::uint64_t& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int", name);
    return false;
  }
  out = PyLong_AsUnsignedLongLong(value);
  if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be an int >= 0", name);
    return false;
  }
  return true;
}

PyObject* part_dict(const PartResult& part) {
  const std::string packed = pack_part(part);
  return Py_BuildValue("{s:K,s:K,s:O,s:K,s:K,s:y#,s:y#,s:K,s:O,s:y#}", "start",
                       static_cast<unsigned long long>(part.start), "end",
                       static_cast<unsigned long long>(part.end), "at_end",
                       part.at_end ? Py_True : Py_False, "first_line",
                       static_cast<unsigned long long>(part.first_line), "end_line",
                       static_cast<unsigned long long>(part.end_line), "carry", part.carry.data(),
                       static_cast<Py_ssize_t>(part.carry.size()), "start_carry",
                       part.start_carry.data(), static_cast<Py_ssize_t>(part.start_carry.size()),
                       "rule_line", static_cast<unsigned long long>(part.rule_line), "same_bytes",
                       part.same_bytes ? Py_True : Py_False, "packed", packed.data(),
                       static_cast<Py_ssize_t>(packed.size()));
}

PyObject* repair_part(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"input_path",
                                     "output_path",
                                     "quarantine_path",
                                     GLEAVE_OPTION_KEYWORDS,
                                     "first",
                                     "start",
                                     "guess",
                                     "stop",
                                     "first_line",
                                     "carry",
                                     "allow_binary",
                                     "cancel",
                                     GLEAVE_DIALECT_KEYWORDS,
                                     nullptr};
    PathArg input, output;
    OptionalPath quarantine;
    OptionArgs option_args;
    DialectArgs dialect_args;
    PyObject *first = nullptr, *start = nullptr, *guess = nullptr, *stop = nullptr;
    PyObject *first_line = nullptr, *allow_binary = nullptr, *cancel = Py_None;
    Py_buffer carry{};
    carry.buf = nullptr;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs,
            "O&O&|O&" GLEAVE_OPTION_FORMAT "$OOOOOy*OO" GLEAVE_DIALECT_FORMAT ":repair_part",
            const_cast<char**>(keywords), path_converter, &input, path_converter, &output,
            optional_path_converter, &quarantine, GLEAVE_OPTION_POINTERS(option_args), &first,
            &start, &guess, &stop, &first_line, &carry, &allow_binary, &cancel,
            GLEAVE_DIALECT_POINTERS(dialect_args))) {
      return nullptr;
    }
    PartRequest request;
    if (carry.buf != nullptr) {
      request.carry.assign(static_cast<const char*>(carry.buf),
                           static_cast<std::size_t>(carry.len));
      PyBuffer_Release(&carry);
    }
    FileJob& job = request.job;
    job.input = input.ref();
    job.output = output.ref();
    if (quarantine) job.quarantine = quarantine->ref();
    job.dialect.emplace();
    bool allow = true;
    if (!dialect_from(option_args, dialect_args, job.options, *job.dialect) ||
        !bool_from(first, "first", request.first) || !bool_from(guess, "guess", request.guess) ||
        !bool_from(allow_binary, "allow_binary", allow) ||
        !u64_from(start, "start", request.start) || !u64_from(stop, "stop", request.stop) ||
        !u64_from(first_line, "first_line", request.first_line)) {
      return nullptr;
    }
    job.refuse_binary = !allow;
    ModuleState* state = state_of_module(module);
    PythonInterrupt interrupt(cancel == Py_None ? nullptr : cancel, state->cancelled_error);
    job.interrupt = &interrupt;
    auto result = without_gil(interrupt, [&] { return repair_part(request); });
    if (!result) {
      const JobPaths paths{&input, &output, quarantine ? &*quarantine : nullptr};
      return raise_error(state, result.error(), paths, &interrupt);
    }
    return part_dict(result.value());
  });
}

// One item of join_parts(): (output part, quarantine part or None, line shift, packed result).
bool part_from(PyObject* item, PartFiles& files, PartResult& result) {
  PyObject *output = nullptr, *quarantine = nullptr;
  long long shift = 0;
  const char* packed = nullptr;
  Py_ssize_t packed_size = 0;
  if (!PyArg_ParseTuple(item, "UOLy#:join_parts", &output, &quarantine, &shift, &packed,
                        &packed_size)) {
    return false;
  }
  Ref bytes(PyUnicode_EncodeFSDefault(output));
  if (!bytes) return false;
  files.output.assign(PyBytes_AS_STRING(bytes.get()),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  if (quarantine != Py_None) {
    Ref q(PyUnicode_EncodeFSDefault(quarantine));
    if (!q) return false;
    files.quarantine.emplace(PyBytes_AS_STRING(q.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(q.get())));
  }
  files.line_shift = shift;
  auto unpacked = unpack_part(std::string_view(packed, static_cast<std::size_t>(packed_size)));
  if (!unpacked) {
    PyErr_SetString(PyExc_ValueError, "join_parts: a part's result is damaged");
    return false;
  }
  result = std::move(*unpacked);
  return true;
}

PyObject* join_parts(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"parts", "output_path", "quarantine_path", "cancel", nullptr};
    PyObject* list = nullptr;
    PathArg output;
    OptionalPath quarantine;
    PyObject* cancel = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO&|O&$O:join_parts",
                                     const_cast<char**>(keywords), &list, path_converter, &output,
                                     optional_path_converter, &quarantine, &cancel)) {
      return nullptr;
    }
    Ref items(PySequence_Fast(list, "join_parts: parts must be a sequence"));
    if (!items) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    std::vector<PartFiles> files(static_cast<std::size_t>(n));
    std::vector<PartResult> results(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      if (!part_from(item, files[static_cast<std::size_t>(i)],
                     results[static_cast<std::size_t>(i)])) {
        return nullptr;
      }
    }
    if (output.fd >= 0 || (quarantine && quarantine->fd >= 0)) {
      PyErr_SetString(PyExc_TypeError, "join_parts writes to paths, not descriptors");
      return nullptr;
    }
    ModuleState* state = state_of_module(module);
    PythonInterrupt interrupt(cancel == Py_None ? nullptr : cancel, state->cancelled_error);
    std::optional<std::string> q;
    if (quarantine) q = quarantine->path;
    auto error = without_gil(interrupt, [&] {
      try {
        return join_parts(files, output.path, q, &interrupt);
      } catch (const std::bad_alloc&) {
        return std::optional<IoError>(IoError::from_fixed(IoFixed::OutOfMemory));
      }
    });
    if (error) {
      const JobPaths paths{nullptr, &output, quarantine ? &*quarantine : nullptr};
      return raise_error(state, GleaveError(std::move(*error)), paths, &interrupt);
    }
    const JobCounts counts = add_part_counts(results);
    return new_summary(state, counts, counts.delimiter, counts.input ? &*counts.input : nullptr);
  });
}

}  // namespace

PyMethodDef repair_part_method = {
    "repair_part", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repair_part)),
    METH_VARARGS | METH_KEYWORDS,
    "repair_part(input_path, output_path, quarantine_path=None, delimiter=None, quote_char=..., "
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True, *, "
    "first=False, start=0, guess=False, stop=None, first_line=None, carry=b'', "
    "allow_binary=True, cancel=None, encoding=None, skip_initial_space=None, "
    "preamble_lines=None, escape_char=..., comment_char=...)\n--\n\n"
    "Repairs one part of a regular file, as gleave_file repairs the whole of it, into its own\n"
    "output and quarantine files. first=True: from the file's start; else from the row that\n"
    "starts at byte `start` (guess=True: at the first line start from there), on line\n"
    "`first_line`, with `carry` (a previous part's) as the state of the rows before. The part\n"
    "ends before the first row that starts at or after byte `stop`. Returns a dict: start,\n"
    "end (where the next part's first row starts), at_end, first_line, end_line, carry (at\n"
    "the end), start_carry (as the part began), rule_line (the last line a rule of the\n"
    "dialect names),\n"
    "same_bytes (False: the file's text is not its bytes and cannot be cut) and packed (the\n"
    "result for join_parts)."};

PyMethodDef join_parts_method = {
    "join_parts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(join_parts)),
    METH_VARARGS | METH_KEYWORDS,
    "join_parts(parts, output_path, quarantine_path=None, *, cancel=None)\n--\n\n"
    "Joins the parts of a file repaired by repair_part, each (output part, quarantine part or\n"
    "None, line shift, packed result), into output_path and quarantine_path, which appear\n"
    "whole or not at all. Every quarantine line number of a part is moved by its shift.\n"
    "Returns the GleaveSummary of the whole file."};

}  // namespace gleave::native
