// Engine errors as Python exceptions, and the interrupt check of jobs that
// run with the interpreter lock released.
#include <cerrno>

#include "bindings/product/native.hpp"

namespace gleave::native {

bool PythonInterrupt::requested() {
  if (stopped_) return true;
  if (std::chrono::steady_clock::now() < next_) return false;
  return requested_now();
}

bool PythonInterrupt::requested_now() {
  if (stopped_) return true;
  next_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  // Signals are handled in Python only with the lock held, and only in the
  // main thread (elsewhere PyErr_CheckSignals returns at once): the signal's
  // own C handler just records it, so there is nothing to poll without the
  // lock. Taking it back every 50 ms costs nothing measurable and lets a
  // handler of any kind run, and its exception stop the job.
  acquire();
  bool stop = PyErr_CheckSignals() < 0;
  if (!stop && cancel_ != nullptr) {
    Ref set(PyObject_CallMethod(cancel_, "is_set", nullptr));
    if (!set) {
      stop = true;
    } else {
      const int truth = PyObject_IsTrue(set.get());
      if (truth != 0) {
        stop = true;
        if (truth > 0) PyErr_SetString(cancelled_type_, "cancelled");
      }
    }
  }
  if (stop) {
    pending_ = take_exception();
    stopped_ = true;
  }
  release();
  return stop;
}

namespace {

const PathArg* path_for(const JobPaths& paths, IoRole role) {
  switch (role) {
    case IoRole::Input: return paths.input;
    case IoRole::Output: return paths.output;
    case IoRole::Quarantine: return paths.quarantine;
    case IoRole::None:
    case IoRole::Temporary: return nullptr;
  }
  return nullptr;
}

// Adds the `role` attribute to the pending exception.
void set_role(IoRole role) {
  if (role == IoRole::None) return;
  Ref exc = take_exception();
  if (exc) {
    Ref name(PyUnicode_FromString(role_name(role)));
    if (!name || PyObject_SetAttrString(exc.get(), "role", name.get()) < 0) PyErr_Clear();
  }
  restore_exception(std::move(exc));
}

void set_with_filename(PyObject* type, int code, const std::string& text, PyObject* filename) {
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  Ref exc(code != 0 ? PyObject_CallFunction(type, "iOO", code, message.get(), filename)
                    : PyObject_CallFunction(type, "O", message.get()));
  if (!exc) return;
  if (code == 0 && filename != Py_None &&
      PyObject_SetAttrString(exc.get(), "filename", filename) < 0) {
    return;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

}  // namespace

PyObject* raise_error(ModuleState* state, const GleaveError& error, const JobPaths& paths,
                      PythonInterrupt* interrupt) {
  const IoError* io = error.io();
  if (io == nullptr) {
    const std::string text = error.message();
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  const PathArg* path = path_for(paths, io->role);
  PyObject* filename = path != nullptr ? path->given.get() : Py_None;
  Ref own_name;  // a file of the engine's own (the temporary directory): its path
  if (path == nullptr && !io->path.empty()) {
    own_name = Ref(PyUnicode_DecodeFSDefaultAndSize(io->path.data(),
                                                    static_cast<Py_ssize_t>(io->path.size())));
    if (!own_name) return nullptr;
    filename = own_name.get();
  }
  switch (io->fixed) {
    case IoFixed::None:
      // The OSError constructor picks the subclass that matches errno.
      errno = io->code;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
      break;
    case IoFixed::Interrupted:
      if (interrupt != nullptr) {
        if (Ref pending = interrupt->take_pending()) {
          restore_exception(std::move(pending));
          return nullptr;
        }
      }
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      return nullptr;
    case IoFixed::OutOfMemory:
      PyErr_SetString(PyExc_MemoryError,
                      "out of memory: the input, or the width it is repaired to, does not fit");
      return nullptr;
    case IoFixed::NotText:
      set_with_filename(state->not_text_error, 0,
                        "input does not look like text (NUL bytes or mostly control bytes in its "
                        "first 64 KiB)",
                        filename);
      break;
    case IoFixed::WriteZero:
    case IoFixed::FlushZero: set_with_filename(PyExc_OSError, EIO, io->text(), filename); break;
    case IoFixed::NulInPath:
    case IoFixed::QuarantineIsOutput:
    case IoFixed::QuarantineIsInput:
    case IoFixed::OutputIsInput:
      set_with_filename(PyExc_ValueError, 0, io->text(), filename);
      break;
  }
  set_role(io->role);
  return nullptr;
}

}  // namespace gleave::native
