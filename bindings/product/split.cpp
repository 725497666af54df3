// repair_part() and join_parts(): one large file repaired in parts, side by
// side, and the parts joined into the file one repair of the whole gives
// (see engine/split/split.hpp; csv_gleave.dask drives them).
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <climits>
#include <new>
#include <string>
#include <vector>

#include "engine/split/part_table.hpp"
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
  auto flag = [](bool value) { return value ? Py_True : Py_False; };
  return Py_BuildValue(
      "{s:K,s:K,s:O,s:K,s:K,s:y#,s:y#,s:K,s:O,s:y#,s:K,s:O,s:O,s:K}", "start",
      static_cast<unsigned long long>(part.start), "end", static_cast<unsigned long long>(part.end),
      "at_end", flag(part.at_end), "first_line", static_cast<unsigned long long>(part.first_line),
      "end_line", static_cast<unsigned long long>(part.end_line), "carry", part.carry.data(),
      static_cast<Py_ssize_t>(part.carry.size()), "start_carry", part.start_carry.data(),
      static_cast<Py_ssize_t>(part.start_carry.size()), "rule_line",
      static_cast<unsigned long long>(part.rule_line), "same_bytes", flag(part.same_bytes),
      "packed", packed.data(), static_cast<Py_ssize_t>(packed.size()), "kept_rows",
      static_cast<unsigned long long>(part.counts.gleaved_rows), "read_to_end",
      flag(part.read_to_end), "whole_text", flag(part.whole_text), "head_bytes",
      static_cast<unsigned long long>(part.head_bytes));
}

// The options and the part's place (first, start, guess, stop,
// first_line, carry, allow_binary, from bound[at]) into `request`, and its
// cancel check (None: nullptr) into `cancel`; false with an exception set.
bool request_from(kit::Bound& bound, std::size_t at, PartRequest& request, PyObject*& cancel) {
  const std::size_t part = at + kit::option_count(kit::OptionUse::Repair);
  PyObject* carry = bound[part + 5];
  if (carry != nullptr && !PyBytes_Check(carry)) {
    PyErr_Format(PyExc_TypeError, "carry must be bytes, not %.100s", Py_TYPE(carry)->tp_name);
    return false;
  }
  if (carry != nullptr) {
    request.carry.assign(PyBytes_AS_STRING(carry),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(carry)));
  }
  FileJob& job = request.job;
  bool allow = true;
  if (!kit::options_from(&bound[at], kit::OptionUse::Repair, job.dialect) ||
      !bool_from(bound[part], "first", request.first) ||
      !bool_from(bound[part + 2], "guess", request.guess) ||
      !bool_from(bound[part + 6], "allow_binary", allow) ||
      !u64_from(bound[part + 1], "start", request.start) ||
      !u64_from(bound[part + 3], "stop", request.stop) ||
      !u64_from(bound[part + 4], "first_line", request.first_line)) {
    return false;
  }
  job.refuse_binary = !allow;
  cancel = cancel_from(bound[part + 7]);
  return true;
}

// Runs `work` (which reads the part `request` places) without the
// interpreter lock, stoppable through `cancel`: done(its result), or
// nullptr with its error raised. Exhausted memory is an error like any
// other: nothing may be thrown while the lock is released.
template <class Work, class Done>
PyObject* run_request(PyObject* module, PyObject* cancel, PartRequest& request,
                      const JobPaths& paths, Work work, Done done) {
  ModuleState* state = state_of_module(module);
  PythonInterrupt interrupt(cancel, state->cancelled_error);
  request.job.interrupt = &interrupt;
  auto result = without_gil(interrupt, [&]() -> decltype(work()) {
    try {
      return work();
    } catch (const std::bad_alloc&) {
      return IoError::from_fixed(IoFixed::OutOfMemory);
    }
  });
  if (!result) return raise_error(state, result.error(), paths, &interrupt);
  return done(result.value());
}

// The arguments that place a part, after the options: as repair_part and
// table_part take them.
void add_part_arguments(kit::Parameters& p) {
  kit::add_options(p, kit::OptionUse::Repair);
  p.optional("first", "False").optional("start", "0").optional("guess", "False");
  p.optional("stop", "None").optional("first_line", "None").optional("carry", "b''");
  p.optional("allow_binary", "True").optional("cancel", "None");
}

const kit::Parameters& part_parameters() {
  static const kit::Parameters p = [] {
    kit::Parameters p("repair_part");
    p.required("input_path").required("output_path").optional("quarantine_path", "None");
    add_part_arguments(p);
    return p;
  }();
  return p;
}
constexpr std::size_t kPartOptions = 3;

PyObject* repair_part(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    kit::Bound bound;
    if (!part_parameters().bind(args, nargsf, kwnames, bound)) return nullptr;
    PathArg input, output;
    OptionalPath quarantine;
    if (!path_from(bound[0], input) || !path_from(bound[1], output) ||
        !optional_path_from(bound[2], quarantine)) {
      return nullptr;
    }
    PartRequest request;
    FileJob& job = request.job;
    job.input = input.ref();
    job.output = output.ref();
    if (quarantine) job.quarantine = quarantine->ref();
    PyObject* cancel = nullptr;
    if (!request_from(bound, kPartOptions, request, cancel)) return nullptr;
    const JobPaths paths{&input, &output, quarantine ? &*quarantine : nullptr};
    return run_request(
        module, cancel, request, paths, [&] { return repair_part(request); },
        [](const PartResult& part) { return part_dict(part); });
  });
}

const kit::Parameters& table_parameters() {
  static const kit::Parameters p = [] {
    kit::Parameters p("table_part");
    p.required("input_path");
    add_part_arguments(p);
    p.optional("header", "True").optional("infer_types", "True").optional("decimal_comma", "True");
    p.optional("names", "None").optional("text", "None").optional("skip", "0");
    return p;
  }();
  return p;
}
constexpr std::size_t kTableFirst = 1 + kit::option_count(kit::OptionUse::Repair) + 8;

// A sequence into `out`, each item through item(object, value) (false
// with an exception set); None leaves `out` empty.
template <class T, class Item>
bool sequence_from(PyObject* value, const char* message, std::vector<T>& out, Item item) {
  if (value == nullptr || value == Py_None) return true;
  Ref items(PySequence_Fast(value, message));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    T converted{};
    if (!item(PySequence_Fast_GET_ITEM(items.get(), i), converted)) return false;
    out.push_back(std::move(converted));
  }
  return true;
}

bool name_from(PyObject* value, std::string& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool text_flag_from(PyObject* value, bool& out) {
  return bool_from(value, "text", out);
}

// The table_part result: repair_part's dict, the table and the part's set-aside lines.
PyObject* table_dict(PartTable& done) {
  Ref dict(part_dict(done.part));
  if (!dict) return nullptr;
  auto* stream = new (std::nothrow) ArrowArrayStream{};
  if (stream == nullptr) return PyErr_NoMemory();
  if (table::export_stream(std::move(done.table), stream) != 0) {
    delete stream;
    return PyErr_NoMemory();
  }
  Ref capsule(stream_capsule(stream));
  Ref set_aside(PyBytes_FromStringAndSize(done.set_aside.data(),
                                          static_cast<Py_ssize_t>(done.set_aside.size())));
  Ref rows(PyLong_FromUnsignedLongLong(done.set_aside_rows));
  Ref header_rows(PyLong_FromUnsignedLongLong(done.header_rows));
  if (!capsule || !set_aside || !rows || !header_rows ||
      PyDict_SetItemString(dict.get(), "header_rows", header_rows.get()) != 0 ||
      PyDict_SetItemString(dict.get(), "table", capsule.get()) != 0 ||
      PyDict_SetItemString(dict.get(), "set_aside", set_aside.get()) != 0 ||
      PyDict_SetItemString(dict.get(), "set_aside_rows", rows.get()) != 0) {
    return nullptr;
  }
  return dict.release();
}

PyObject* table_part(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    kit::Bound bound;
    if (!table_parameters().bind(args, nargsf, kwnames, bound)) return nullptr;
    PathArg input;
    if (!path_from(bound[0], input)) return nullptr;
    if (input.fd >= 0) {
      PyErr_SetString(PyExc_TypeError, "table_part reads a path, not a descriptor");
      return nullptr;
    }
    PartRequest request;
    request.job.input = input.ref();
    PartTableRequest table_request;
    table_request.options.decimal_comma = true;  // kept only when the delimiter is not a comma
    PyObject* cancel = nullptr;
    if (!request_from(bound, 1, request, cancel) ||
        !bool_from(bound[kTableFirst], "header", table_request.options.header) ||
        !bool_from(bound[kTableFirst + 1], "infer_types", table_request.options.infer_types) ||
        !bool_from(bound[kTableFirst + 2], "decimal_comma", table_request.options.decimal_comma) ||
        !sequence_from(bound[kTableFirst + 3], "names must be a sequence of str",
                       table_request.names, name_from) ||
        !sequence_from(bound[kTableFirst + 4], "text must be a sequence of bool",
                       table_request.text, text_flag_from) ||
        !u64_from(bound[kTableFirst + 5], "skip", table_request.skip_rows)) {
      return nullptr;
    }
    return run_request(
        module, cancel, request, JobPaths{&input},
        [&] { return table_part(request, table_request); }, table_dict);
  });
}

// One item of join_parts(): (output part or None, quarantine part or None, line shift, packed
// result).
bool part_from(PyObject* item, PartFiles& files, PartResult& result) {
  PyObject *output = nullptr, *quarantine = nullptr;
  long long shift = 0;
  const char* packed = nullptr;
  Py_ssize_t packed_size = 0;
  if (!PyArg_ParseTuple(item, "OOLy#:join_parts", &output, &quarantine, &shift, &packed,
                        &packed_size)) {
    return false;
  }
  if (output != Py_None) {
    if (!PyUnicode_Check(output)) {
      PyErr_SetString(PyExc_TypeError, "join_parts: a part's output must be a str or None");
      return false;
    }
    Ref bytes(PyUnicode_EncodeFSDefault(output));
    if (!bytes) return false;
    files.output.assign(PyBytes_AS_STRING(bytes.get()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  }
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

const kit::Parameters& join_parameters() {
  static const kit::Parameters p = [] {
    kit::Parameters p("join_parts");
    p.required("parts").required("output_path").optional("quarantine_path", "None");
    p.keyword_only().optional("cancel", "None");
    return p;
  }();
  return p;
}

PyObject* join_parts(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    kit::Bound bound;
    if (!join_parameters().bind(args, nargsf, kwnames, bound)) return nullptr;
    PyObject* list = bound[0];
    PathArg output;
    OptionalPath quarantine;
    if (!path_from(bound[1], output) || !optional_path_from(bound[2], quarantine)) return nullptr;
    PyObject* cancel = cancel_from(bound[3]);
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
    PythonInterrupt interrupt(cancel, state->cancelled_error);
    std::optional<std::string> q;
    if (quarantine) q = quarantine->path;
    Status joined = without_gil(interrupt, [&]() -> Status {
      try {
        return join_parts(files, output.path, q, &interrupt);
      } catch (const std::bad_alloc&) {
        return IoError::from_fixed(IoFixed::OutOfMemory);
      }
    });
    if (!joined) {
      const JobPaths paths{nullptr, &output, quarantine ? &*quarantine : nullptr};
      return raise_error(state, joined.error(), paths, &interrupt);
    }
    const JobCounts counts = add_part_counts(results);
    return new_summary(state, counts, counts.delimiter, counts.input ? &*counts.input : nullptr);
  });
}

}  // namespace

namespace {

const char kPartDoc[] =
    "Repairs one part of a regular file, as gleave_file repairs the whole of it, into its own\n"
    "output and quarantine files. first=True: from the file's start; else from the row that\n"
    "starts at byte `start` (guess=True: at the first line start from there), on line\n"
    "`first_line`, with `carry` (a previous part's) as the state of the rows before. The part\n"
    "ends before the first row that starts at or after byte `stop`. Returns a dict: start,\n"
    "end (where the next part's first row starts), at_end, first_line, end_line, carry (at\n"
    "the end), start_carry (as the part began), rule_line (the last line a rule of the\n"
    "dialect names),\n"
    "same_bytes (False: the file's text is not its bytes and cannot be cut), kept_rows,\n"
    "packed (the result for join_parts), read_to_end (the text was read to the end of the\n"
    "file given: a part read from a piece of a larger file is right only when the piece\n"
    "ends where the file does), whole_text (the dialect read the whole text, not only its\n"
    "head) and head_bytes (the bytes of the file's start the dialect is decided on).";

const char kTableDoc[] =
    "Reads one part of a regular file, placed as repair_part places it, straight into an\n"
    "Arrow table: the kept rows, as arrow_stream types them (header=True: the part's first\n"
    "kept row names the columns, for the part that holds the file's first; infer_types;\n"
    "decimal_comma), each column typed by the part's own values. names: the columns' names\n"
    "(a header row is then dropped); text: for each column, True keeps its exact field\n"
    "texts; skip: kept rows dropped first (header rows this part holds). Returns repair_part's\n"
    "dict, plus table (a PyCapsule 'arrow_array_stream'), set_aside (the part's quarantine\n"
    "lines, numbered as the part numbers them; the first part's begin with the header line)\n"
    "set_aside_rows (how many rows they are) and header_rows (with header=True, how many\n"
    "rows the header spans; else 0).";

const char kJoinDoc[] =
    "Joins the parts of a file repaired by repair_part, each (output part or None, quarantine\n"
    "part or None, line shift, packed result), into output_path and quarantine_path, which appear\n"
    "whole or not at all. Every quarantine line number of a part is moved by its shift.\n"
    "Returns the GleaveSummary of the whole file.";

}  // namespace

PyMethodDef repair_part_method() {
  static const std::string doc = part_parameters().doc(kPartDoc);
  return {"repair_part", kit::as_cfunction(repair_part), METH_FASTCALL | METH_KEYWORDS,
          doc.c_str()};
}

PyMethodDef table_part_method() {
  static const std::string doc = table_parameters().doc(kTableDoc);
  return {"table_part", kit::as_cfunction(table_part), METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

PyMethodDef join_parts_method() {
  static const std::string doc = join_parameters().doc(kJoinDoc);
  return {"join_parts", kit::as_cfunction(join_parts), METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace gleave::native
