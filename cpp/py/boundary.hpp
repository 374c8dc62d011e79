// The boundary between C++ and the interpreter. No C++ exception may unwind into CPython's C
// frames: every function the interpreter calls (method table entries, module initialisation)
// runs inside a barrier that turns an exception into a Python one, MemoryError for
// std::bad_alloc and RuntimeError for anything else.
#pragma once

#include <Python.h>

#include <exception>

namespace py {

// Sets the Python exception for the C++ exception being handled. Call only inside a catch.
void raise_current_exception() noexcept;

template <auto F>
struct Barrier;

template <typename... Args, PyObject* (*F)(Args...)>
struct Barrier<F> {
  static PyObject* call(Args... args) noexcept {
    try {
      return F(args...);
    } catch (...) {
      raise_current_exception();
      return nullptr;
    }
  }
};

// Runs `work` with the GIL released. An exception it throws is carried past the reacquiring
// of the GIL and rethrown with the GIL held, for the barrier to translate.
template <typename Work>
void run_without_gil(Work&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
}

// Method table entries, each calling its function through the barrier. `doc` starts with the
// text signature ("name($self, /)\n--\n\n...") where one is wanted.
using NoArgsFunction = PyObject* (*)(PyObject*, PyObject*);
using FastKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <NoArgsFunction F>
constexpr PyMethodDef no_args(const char* name, const char* doc) {
  return {name, Barrier<F>::call, METH_NOARGS, doc};
}

template <NoArgsFunction F>
constexpr PyMethodDef one_arg(const char* name, const char* doc) {
  return {name, Barrier<F>::call, METH_O, doc};
}

template <FastKeywordsFunction F>
PyMethodDef fast_keywords(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Barrier<F>::call)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

constexpr PyMethodDef kEndOfMethods{nullptr, nullptr, 0, nullptr};

}  // namespace py
