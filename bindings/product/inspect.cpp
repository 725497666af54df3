// inspect(): what a repair of a file would do, from one pass: the counts,
// the first kept rows and the rows whose width is off, each capped so that
// a huge row costs no more than its first columns.
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <algorithm>
#include <string>
#include <vector>

#include "engine/scan/text.hpp"

namespace gleave::native {

namespace {

struct Shown {
  std::vector<std::string> fields;  // at most max_columns, each at most max_field bytes
  std::uint64_t width = 0;          // the row's real width
};

struct Ragged {
  std::uint64_t first_line = 0;  // the line the row begins on
  std::uint64_t line = 0;        // the line the row ends on
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

// The line on which a row ends: its first line plus the line breaks inside
// it (LF, CR LF or a lone CR).
std::uint64_t end_line(const RowVerdict& v) {
  std::uint64_t line = v.line;
  for (std::size_t i = 0; i < v.raw.size(); ++i) {
    if (v.raw[i] == '\n' || (v.raw[i] == '\r' && (i + 1 == v.raw.size() || v.raw[i + 1] != '\n'))) {
      ++line;
    }
  }
  return line;
}

struct InspectSink {
  InspectSink(const InspectLimits& l, Interrupt& i) : limits(l), interrupt(i) {}
  const InspectLimits& limits;
  Interrupt& interrupt;
  std::vector<Shown> rows;
  std::vector<Ragged> ragged;
  std::uint64_t ragged_count = 0;
  std::vector<std::pair<std::uint64_t, std::string>> preamble_lines;  // line, capped text
  std::uint64_t seen = 0;
  unsigned char delimiter = ',';
  bool interrupted = false;

  bool go_on() {
    ++seen;
    if (seen % 1024 != 0 || !interrupt.requested()) return true;
    interrupted = true;
    return false;
  }
  void begin(unsigned char d, std::uint64_t) { delimiter = d; }
  void show(const Row& row) {
    if (rows.size() >= limits.rows) return;
    Shown s;
    s.width = row.size();
    for (std::size_t i = 0; i < row.size() && i < limits.max_columns; ++i) {
      s.fields.push_back(capped(row.field(i), limits.max_field));
    }
    rows.push_back(std::move(s));
  }
  void note(const RowVerdict& v) {
    ++ragged_count;
    if (ragged.size() >= limits.ragged) return;
    Ragged r;
    r.first_line = v.line;
    r.line = end_line(v);
    r.reason =
        reason_text(v.verdict == Verdict::TooFew || v.verdict == Verdict::Padded ? Verdict::TooFew
                                                                                 : Verdict::TooMany,
                    v.expected);
    r.verdict = v.verdict == Verdict::Padded   ? "padded"
                : v.verdict == Verdict::Merged ? "merged"
                                               : "quarantined";
    r.actual = v.actual;
    std::string lossy;
    append_utf8_lossy(lossy, v.raw.data(), std::min(v.raw.size(), limits.max_field * 4));
    r.raw = capped(lossy, limits.max_field * 4);
    ragged.push_back(std::move(r));
  }
  bool keep(const Row& row, const RowVerdict& v) {
    show(row);
    if (v.verdict != Verdict::Kept) note(v);
    return go_on();
  }
  bool keep_line(std::string_view line, bool) {
    if (rows.size() < limits.rows) {
      Row row;
      split_plain_line(line, delimiter, row);
      show(row);
    }
    return go_on();
  }
  bool reject(const RowVerdict& v, const Row&) {
    note(v);
    return go_on();
  }
  // Lines above the table go to the quarantine: show what they were.
  bool preamble(std::uint64_t line, std::string_view raw) {
    if (preamble_lines.size() < limits.ragged) {
      std::string lossy;
      append_utf8_lossy(lossy, raw.data(), std::min(raw.size(), limits.max_field * 4));
      preamble_lines.emplace_back(line, capped(lossy, limits.max_field * 4));
    }
    return go_on();
  }
};

struct InspectResult {
  ProductCounts counts;
  PreparedText prepared;  // its text is gone; the dialect and encoding remain
  std::vector<Shown> rows;
  std::vector<Ragged> ragged;
  std::uint64_t ragged_count = 0;
  std::vector<std::pair<std::uint64_t, std::string>> preamble;
};

Result<InspectResult> run_inspect(const FileRef& input, const Dialect& options,
                                  const InspectLimits& limits, bool refuse_binary,
                                  Interrupt& interrupt) {
  try {
    auto text = read_input(input, &interrupt, refuse_binary);
    if (!text) return std::move(text.error());
    InspectSink sink(limits, interrupt);
    InspectResult out;
    Dialect given = options;
    given.keep_evidence = true;  // the dialect dict shows every candidate
    out.prepared = prepare_text(text.value().view(), given);
    if (!out.prepared.ok()) return IoError::from_errno(EINVAL).at(IoRole::Input, input.path);
    if (Status s = check_dialect(out.prepared.dialect); !s) return std::move(s.error());
    out.counts = run_product_pass(out.prepared, sink);
    out.prepared.text = {};
    if (sink.interrupted) return IoError::from_fixed(IoFixed::Interrupted);
    out.rows = std::move(sink.rows);
    out.ragged = std::move(sink.ragged);
    out.ragged_count = sink.ragged_count;
    out.preamble = std::move(sink.preamble_lines);
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
    Ref item(Py_BuildValue("{sKsKsOsssKsKsO}", "line", static_cast<unsigned long long>(g.line),
                           "first_line", static_cast<unsigned long long>(g.first_line), "reason",
                           reason.get(), "verdict", g.verdict.c_str(), "expected",
                           static_cast<unsigned long long>(r.counts.inferred_columns), "actual",
                           static_cast<unsigned long long>(g.actual), "raw_content", raw.get()));
    if (!item || PyList_Append(ragged.get(), item.get()) < 0) return nullptr;
  }
  Ref preamble(PyList_New(0));
  if (!preamble) return nullptr;
  for (const auto& [line, text] : r.preamble) {
    Ref raw(utf8(text));
    if (!raw) return nullptr;
    Ref item(Py_BuildValue("{sKsO}", "line", static_cast<unsigned long long>(line), "raw_content",
                           raw.get()));
    if (!item || PyList_Append(preamble.get(), item.get()) < 0) return nullptr;
  }
  const InputRead report = input_read(r.prepared, r.counts);
  Ref summary(new_summary(state, r.counts, r.counts.delimiter, &report));
  Ref dialect(dialect_dict(r.prepared));
  if (!summary || !dialect) return nullptr;
  return Py_BuildValue("{sOsOsOsKsOsO}", "summary", summary.get(), "rows", rows.get(),
                       "ragged_rows", ragged.get(), "ragged_count",
                       static_cast<unsigned long long>(r.ragged_count), "dialect", dialect.get(),
                       "preamble", preamble.get());
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

const kit::Parameters& parameters() {
  static const kit::Parameters p = [] {
    kit::Parameters p("inspect");
    p.required("file_path");
    kit::add_options(p, kit::OptionUse::Repair);
    p.optional("rows", "10").optional("ragged", "20").optional("max_columns", "50");
    p.optional("max_field", "200").optional("allow_binary", "True").optional("cancel", "None");
    return p;
  }();
  return p;
}
constexpr std::size_t kRows = 1 + kit::option_count(kit::OptionUse::Repair);

PyObject* inspect(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    kit::Bound bound;
    if (!parameters().bind(args, nargsf, kwnames, bound)) return nullptr;
    PathArg input;
    if (!path_from(bound[0], input)) return nullptr;
    Dialect options;
    InspectLimits limits;
    bool allow = true;
    if (!kit::options_from(&bound[1], kit::OptionUse::Repair, options) ||
        !size_arg(bound[kRows], "rows", limits.rows) ||
        !size_arg(bound[kRows + 1], "ragged", limits.ragged) ||
        !size_arg(bound[kRows + 2], "max_columns", limits.max_columns) ||
        !size_arg(bound[kRows + 3], "max_field", limits.max_field) ||
        !bool_from(bound[kRows + 4], "allow_binary", allow)) {
      return nullptr;
    }
    ModuleState* state = state_of_module(module);
    PythonInterrupt interrupt(cancel_from(bound[kRows + 5]), state->cancelled_error);
    const FileRef ref = input.ref();
    auto result = without_gil(interrupt,
                              [&] { return run_inspect(ref, options, limits, !allow, interrupt); });
    if (!result) return raise_error(state, result.error(), JobPaths{&input}, &interrupt);
    return to_python(state, result.value());
  });
}

const char kDoc[] =
    "What a repair of the file would do, from one pass: a dict with the summary, the first\n"
    "`rows` kept rows (each its first max_columns fields, cut to max_field bytes, and its\n"
    "width), the first `ragged` rows whose width is off (line, reason, verdict, expected and\n"
    "actual width, content), how many such rows there are, and the dialect the file was\n"
    "read with and the evidence for it (as detect() gives it), and the first `ragged` lines\n"
    "above the table (line and content), which a repair quarantines.";

}  // namespace

PyMethodDef inspect_method() {
  static const std::string doc = parameters().doc(kDoc);
  return {"inspect", kit::as_cfunction(inspect), METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace gleave::native
