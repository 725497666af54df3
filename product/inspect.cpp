// inspect(): what a repair of a file would do, from one pass: the counts,
// the first kept rows and the rows whose width is off, each capped so that
// a huge row costs no more than its first columns.
#include <algorithm>
#include <vector>

#include "native.hpp"
#include "text.hpp"

namespace gleave::native {

namespace {

struct Shown {
  std::vector<std::string> fields;  // at most max_columns, each at most max_field bytes
  std::uint64_t width = 0;          // the row's real width
};

struct Ragged {
  std::uint64_t line = 0;  // the line the row ends on
  std::string reason;
  std::string verdict;  // padded, merged or quarantined
  std::string raw;      // capped
  std::uint64_t actual = 0;
};

struct InspectLimits {
  std::size_t rows = 10;
  std::size_t ragged = 20;
  std::size_t max_columns = 50;
  std::size_t max_field = 200;
};

// Cuts a field to at most `cap` bytes on a character boundary.
std::string capped(std::string_view f, std::size_t cap) {
  if (f.size() <= cap) return std::string(f);
  std::size_t n = cap;
  while (n > 0 && (static_cast<unsigned char>(f[n]) & 0xC0) == 0x80) --n;
  return std::string(f.substr(0, n));
}

// The pass runs with padding and merging off, so that every row whose width
// is off comes to reject(); the sink then decides as the repair would.
struct InspectSink {
  InspectSink(const GleaveOptions& w, const InspectLimits& l, Interrupt& i)
      : wanted(w), limits(l), interrupt(i) {}
  const GleaveOptions& wanted;
  const InspectLimits& limits;
  Interrupt& interrupt;
  std::vector<Shown> rows;
  std::vector<Ragged> ragged;
  std::uint64_t ragged_count = 0;
  std::uint64_t repaired = 0;
  std::uint64_t quarantined = 0;
  std::uint64_t seen = 0;
  std::uint64_t last_ragged_index = UINT64_MAX;
  std::uint64_t width = 0;
  unsigned char delimiter = ',';
  bool interrupted = false;

  bool go_on() {
    ++seen;
    if (seen % 1024 != 0 || !interrupt.requested()) return true;
    interrupted = true;
    return false;
  }
  void begin(unsigned char d, std::uint64_t w) {
    delimiter = d;
    width = w;
  }
  template <class Fields>
  void show(std::uint64_t real_width, Fields&& each) {
    if (rows.size() >= limits.rows) return;
    Shown s;
    s.width = real_width;
    each([&](std::string_view f) {
      if (s.fields.size() < limits.max_columns) s.fields.push_back(capped(f, limits.max_field));
    });
    rows.push_back(std::move(s));
  }
  bool keep(const Row& row) {
    show(row.size(), [&](auto add) {
      for (std::size_t i = 0; i < row.size() && i < limits.max_columns; ++i) add(row.field(i));
    });
    return go_on();
  }
  bool keep_line(std::string_view line, bool) {
    if (rows.size() < limits.rows) {
      Row row;
      split_plain_line(line, delimiter, row);
      return keep(row);
    }
    return go_on();
  }
  bool reject(QuarantineRecord&& record) {
    const std::uint64_t n = record.fields.size();
    const bool short_row = n < width;
    const bool kept = short_row ? wanted.fill_ragged_rows : wanted.merge_overflow;
    ++ragged_count;
    last_ragged_index = seen;
    if (kept) {
      ++repaired;
      show(width, [&](auto add) {
        for (std::uint64_t i = 0; i < width && i < limits.max_columns; ++i) {
          if (i < n && (i + 1 < width || n == width)) {
            add(record.fields[i]);
          } else if (i >= n) {
            add(std::string_view());
          } else {  // the last column holds the surplus, joined
            std::string merged;
            const std::string d = byte_char(delimiter);
            for (std::uint64_t j = i; j < n && merged.size() <= limits.max_field; ++j) {
              if (j != i) merged.append(d);
              merged.append(record.fields[j]);
            }
            add(merged);
          }
        }
      });
    } else {
      ++quarantined;
    }
    if (ragged.size() < limits.ragged) {
      Ragged r;
      r.line = record.line;  // fixed up once the pass is over
      r.reason = std::move(record.reason);
      r.verdict = kept ? (short_row ? "padded" : "merged") : "quarantined";
      r.actual = n;
      const std::string d = byte_char(delimiter);
      for (std::size_t i = 0; i < record.fields.size() && r.raw.size() <= limits.max_field * 4; ++i) {
        if (i != 0) r.raw.append(d);
        r.raw.append(record.fields[i]);
      }
      r.raw = capped(r.raw, limits.max_field * 4);
      ragged.push_back(std::move(r));
    }
    return go_on();
  }
};

struct InspectResult {
  PassCounts counts;
  std::vector<Shown> rows;
  std::vector<Ragged> ragged;
  std::uint64_t ragged_count = 0;
};

Result<InspectResult> run_inspect(const FileRef& input, const GleaveOptions& options,
                                  const InspectLimits& limits, bool refuse_binary,
                                  Interrupt& interrupt) {
  try {
    auto text = read_input(input, &interrupt, refuse_binary);
    if (!text) return std::move(text.error());
    const std::string_view view = text.value().view();
    GleaveOptions strict = options;
    strict.fill_ragged_rows = false;
    strict.merge_overflow = false;
    InspectSink sink(options, limits, interrupt);
    InspectResult out;
    out.counts = run_pass(view, strict, sink);
    if (sink.interrupted) return IoError::from_fixed(IoFixed::Interrupted);
    out.counts.repaired_rows = sink.repaired;
    out.counts.quarantined_rows = sink.quarantined;
    out.counts.gleaved_rows = out.counts.total_rows - sink.quarantined;
    // A record's line is the one after its row, except for a last row that
    // the end of the text closed without a line break.
    const bool open_end = !view.empty() && view.back() != '\n' && view.back() != '\r';
    for (std::size_t i = 0; i < sink.ragged.size(); ++i) {
      const bool is_last = open_end && sink.ragged_count == sink.ragged.size() &&
                           i + 1 == sink.ragged.size() &&
                           sink.last_ragged_index + 1 == out.counts.total_rows;
      if (!is_last && sink.ragged[i].line > 1) --sink.ragged[i].line;
    }
    out.rows = std::move(sink.rows);
    out.ragged = std::move(sink.ragged);
    out.ragged_count = sink.ragged_count;
    return out;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return IoError::from_fixed(IoFixed::OutOfMemory);
}

PyObject* utf8(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* to_python(ModuleState* state, const InspectResult& r) {
  Ref rows(PyList_New(0));
  if (!rows) return nullptr;
  for (const Shown& s : r.rows) {
    Ref fields(PyList_New(0));
    if (!fields) return nullptr;
    for (const std::string& f : s.fields) {
      Ref v(utf8(f));
      if (!v || PyList_Append(fields.get(), v.get()) < 0) return nullptr;
    }
    Ref item(Py_BuildValue("{sOsK}", "fields", fields.get(), "width",
                           static_cast<unsigned long long>(s.width)));
    if (!item || PyList_Append(rows.get(), item.get()) < 0) return nullptr;
  }
  Ref ragged(PyList_New(0));
  if (!ragged) return nullptr;
  for (const Ragged& g : r.ragged) {
    Ref reason(utf8(g.reason)), raw(utf8(g.raw));
    if (!reason || !raw) return nullptr;
    Ref item(Py_BuildValue("{sKsOsssKsKsO}", "line", static_cast<unsigned long long>(g.line),
                           "reason", reason.get(), "verdict", g.verdict.c_str(), "expected",
                           static_cast<unsigned long long>(r.counts.inferred_columns), "actual",
                           static_cast<unsigned long long>(g.actual), "raw_content", raw.get()));
    if (!item || PyList_Append(ragged.get(), item.get()) < 0) return nullptr;
  }
  Ref summary(new_summary(state, r.counts, r.counts.delimiter));
  if (!summary) return nullptr;
  return Py_BuildValue("{sOsOsOsK}", "summary", summary.get(), "rows", rows.get(), "ragged_rows",
                       ragged.get(), "ragged_count",
                       static_cast<unsigned long long>(r.ragged_count));
}

bool size_arg(PyObject* value, const char* name, std::size_t& out) {
  if (value == nullptr) return true;
  if (PyBool_Check(value) || !PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int", name);
    return false;
  }
  const Py_ssize_t v = PyLong_AsSsize_t(value);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0) {
    PyErr_Format(PyExc_ValueError, "%s must be at least 0", name);
    return false;
  }
  out = static_cast<std::size_t>(v);
  return true;
}

PyObject* inspect(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"file_path",   GLEAVE_OPTION_KEYWORDS, "rows",   "ragged",
                                     "max_columns", "max_field",  "allow_binary", "cancel",
                                     nullptr};
    PathArg input;
    OptionArgs option_args;
    PyObject *rows = nullptr, *ragged = nullptr, *max_columns = nullptr, *max_field = nullptr;
    PyObject* allow_binary = nullptr;
    PyObject* cancel = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|" GLEAVE_OPTION_FORMAT "$OOOOOO:inspect",
                                     const_cast<char**>(keywords), path_converter, &input,
                                     GLEAVE_OPTION_POINTERS(option_args), &rows, &ragged,
                                     &max_columns, &max_field, &allow_binary, &cancel)) {
      return nullptr;
    }
    GleaveOptions options;
    InspectLimits limits;
    bool allow = true;
    if (!options_from(option_args, options) || !size_arg(rows, "rows", limits.rows) ||
        !size_arg(ragged, "ragged", limits.ragged) ||
        !size_arg(max_columns, "max_columns", limits.max_columns) ||
        !size_arg(max_field, "max_field", limits.max_field) ||
        !bool_from(allow_binary, "allow_binary", allow)) {
      return nullptr;
    }
    ModuleState* state = state_of_module(module);
    PythonInterrupt interrupt(cancel == Py_None ? nullptr : cancel, state->cancelled_error);
    const FileRef ref = input.ref();
    auto result = without_gil(interrupt,
                              [&] { return run_inspect(ref, options, limits, !allow, interrupt); });
    if (!result) return raise_error(state, result.error(), JobPaths{&input}, &interrupt);
    return to_python(state, result.value());
  });
}

}  // namespace

PyMethodDef inspect_method = {
    "inspect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect)),
    METH_VARARGS | METH_KEYWORDS,
    "inspect(file_path, delimiter=None, quote_char='\"', fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True, *, rows=10, ragged=20, "
    "max_columns=50, max_field=200, allow_binary=True, cancel=None)\n--\n\n"
    "What a repair of the file would do, from one pass: a dict with the summary, the first\n"
    "`rows` kept rows (each its first max_columns fields, cut to max_field bytes, and its\n"
    "width), the first `ragged` rows whose width is off (line, reason, verdict, expected and\n"
    "actual width, content) and how many such rows there are."};

}  // namespace gleave::native
