// GleaveReader and open(): the repaired rows of a file, in memory, through
// the kit's reader. The file is read and repaired by the product pass.
#include "bindings/product/native.hpp"  // Python.h comes first, before any standard header.

#include <string>
#include <utility>

#include "bindings/kit/reader.hpp"
#include "engine/repair/row_table.hpp"

namespace gleave::native {

namespace {

using kit::ReaderRecord;

// Kept rows go into the table; rejected ones are only counted.
struct TableSink {
  RowTable& rows;
  Interrupt& interrupt;
  std::uint64_t seen = 0;
  bool interrupted = false;

  bool go_on() {
    if (++seen % 1024 != 0 || !interrupt.requested()) return true;
    interrupted = true;
    return false;
  }
  void begin(unsigned char delimiter, std::uint64_t width) { rows.set_layout(delimiter, width); }
  bool keep(const Row& row, const RowVerdict&) {
    rows.push_row(row);
    return go_on();
  }
  bool keep_line(std::string_view line, bool ascii) {
    rows.push_plain_line(line, ascii);
    return go_on();
  }
  bool reject(const RowVerdict&, const Row&) { return go_on(); }
};

// Reads and repairs with the lock released; never throws.
Result<JobCounts> fill(ReaderRecord& record, const FileRef& input, const Dialect& options,
                       bool refuse_binary, Interrupt& interrupt) {
  try {
    TableSink sink{record.rows, interrupt};
    auto out = read_with_product_pass(input, options, refuse_binary, interrupt, sink,
                                      [&](ByteBuffer& text, PreparedText& prepared) {
                                        // Plain rows are served from the text: the input's own
                                        // bytes, or the converted text (whose buffer moves without
                                        // moving its bytes).
                                        if (prepared.converted.size() != 0) {
                                          record.rows =
                                              RowTable(std::move(prepared.converted), ',');
                                        } else {
                                          record.rows = RowTable(std::move(text), ',');
                                        }
                                      });
    if (sink.interrupted) return IoError::from_fixed(IoFixed::Interrupted);
    if (out) record.rows.release_unused_source();
    return out;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return IoError::from_fixed(IoFixed::OutOfMemory);
}

const char kDoc[] =
    "The repaired rows of a file, in memory, each a list of str. The file is read and\n"
    "repaired with the interpreter lock released. The encoding and the dialect are\n"
    "detected as for gleave_file(); lines above the table and blank lines are left out\n"
    "and counted in the summary.";

// open() and the class take the same parameters under their own names.
kit::Parameters make_parameters(const char* name) {
  kit::Parameters p(name);
  p.required("file_path");
  kit::add_options(p, kit::OptionUse::Repair);
  p.optional("allow_binary", "True").optional("cancel", "None");
  return p;
}
const kit::Parameters& open_parameters() {
  static const kit::Parameters p = make_parameters("open");
  return p;
}
const kit::Parameters& new_parameters() {
  static const kit::Parameters p = make_parameters("GleaveReader");
  return p;
}
constexpr std::size_t kAllowBinary = 1 + kit::option_count(kit::OptionUse::Repair);

PyObject* construct(PyTypeObject* type, const kit::Bound& bound) {
  PathArg input;
  if (!path_from(bound[0], input)) return nullptr;
  Dialect options;
  bool allow = true;
  if (!kit::options_from(&bound[1], kit::OptionUse::Repair, options) ||
      !bool_from(bound[kAllowBinary], "allow_binary", allow)) {
    return nullptr;
  }
  ModuleState* state = state_of_type(type);
  ReaderRecord record;
  PythonInterrupt interrupt(cancel_from(bound[kAllowBinary + 1]), state->cancelled_error);
  const FileRef ref = input.ref();
  auto result =
      without_gil(interrupt, [&] { return fill(record, ref, options, !allow, interrupt); });
  if (!result) return raise_error(state, result.error(), JobPaths{&input}, &interrupt);
  record.summary = std::move(result.value());
  return kit::new_reader(type, std::move(record));
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    kit::Bound bound;
    if (!new_parameters().bind(args, kwargs, bound)) return nullptr;
    return construct(type, bound);
  });
}

PyObject* reader_summary(PyObject* self, void*) {
  return guarded([&] {
    return kit::new_summary(state_of_type(Py_TYPE(self))->summary_type,
                            kit::reader_record(self).summary);
  });
}

PyGetSetDef reader_getset[] = {
    {"summary", reader_summary, nullptr, "The counts of the repair.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reader_methods[] = {
    {"__enter__", kit::reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", kit::as_cfunction(kit::reader_exit), METH_FASTCALL | METH_KEYWORDS,
     kit::kReaderExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(kit::reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(kit::reader_next)},
    {Py_mp_length, reinterpret_cast<void*>(kit::reader_len)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kit::reader_dealloc)},
    {Py_tp_doc, nullptr},  // its signature line and kDoc, when the type is made
    {Py_tp_getset, reader_getset},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "csv_gleave.GleaveReader",
    sizeof(kit::ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    reader_slots,
};

PyObject* open_reader(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    kit::Bound bound;
    if (!open_parameters().bind(args, nargsf, kwnames, bound)) return nullptr;
    return construct(state_of_module(module)->reader_type, bound);
  });
}

}  // namespace

int add_reader_type(PyObject* module, ModuleState* state) {
  static const std::string doc = new_parameters().doc(kDoc);
  for (PyType_Slot& slot : reader_slots) {
    if (slot.slot == Py_tp_doc) slot.pfunc = const_cast<char*>(doc.c_str());
  }
  PyObject* type = PyType_FromModuleAndSpec(module, &reader_spec, nullptr);
  if (type == nullptr) return -1;
  state->reader_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "GleaveReader", type);
}

PyMethodDef open_method() {
  static const std::string doc =
      open_parameters().doc("A GleaveReader over the repaired rows of a file.");
  return {"open", kit::as_cfunction(open_reader), METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace gleave::native
