#include "py/class_constants.hpp"

#include "py/ref.hpp"

namespace py {

bool class_long(PyObject* cls, const char* name, long long* out) {
  Ref value = Ref::steal(PyObject_GetAttrString(cls, name));
  if (!value) return false;
  *out = PyLong_AsLongLong(value.get());
  return !(*out == -1 && PyErr_Occurred());
}

bool class_double(PyObject* cls, const char* name, double* out) {
  Ref value = Ref::steal(PyObject_GetAttrString(cls, name));
  if (!value) return false;
  *out = PyFloat_AsDouble(value.get());
  return !(*out == -1.0 && PyErr_Occurred());
}

}  // namespace py
