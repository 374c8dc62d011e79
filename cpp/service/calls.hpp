// Short forms of the attribute reads, writes and calls that the service classes make.
#pragma once

#include <Python.h>

#include "py/attributes.hpp"

namespace service {

using py::get_attr;
using py::set_attr;

// obj.name(args...): the arguments are borrowed references.
template <typename... Args>
py::Ref call_method(PyObject* obj, PyObject* name, Args... args) {
  PyObject* argv[] = {obj, args...};
  return py::Ref::steal(PyObject_VectorcallMethod(
      name, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// func(args...): the arguments are borrowed references.
template <typename... Args>
py::Ref call(PyObject* func, Args... args) {
  PyObject* argv[] = {nullptr, args...};
  return py::Ref::steal(PyObject_Vectorcall(
      func, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The base class's method `name` called with `self` first, as super().name(...) would.
template <typename... Args>
py::Ref call_base(PyObject* base, PyObject* name, PyObject* self, Args... args) {
  py::Ref func = get_attr(base, name);
  if (!func) return func;
  return call(func.get(), self, args...);
}

}  // namespace service
