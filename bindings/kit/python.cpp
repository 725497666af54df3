#include "bindings/kit/python.hpp"

#include <exception>

namespace gleave::kit {

void set_from_current_exception(const GuardTexts& texts) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, texts.internal);
    return;
  }
  // The container or allocation that could not grow.
  if (texts.memory == nullptr) {
    PyErr_NoMemory();
  } else {
    PyErr_SetString(PyExc_MemoryError, texts.memory);
  }
}

}  // namespace gleave::kit
